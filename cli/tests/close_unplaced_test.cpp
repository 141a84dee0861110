// close and unplaced: finding the order by part of its id, every refusal in its order of
// checks with nothing written, the records and result lines, and a lost write that is not
// reported as done.
#include <optional>

#include "harness.hpp"
#include "vavev_aziz/journal.hpp"

namespace trade::testing {
namespace {

// Open: aaaa (qty 10, awaiting), bbbb (no qty, awaiting), cccc (filled). Not open: the exit
// dddd and the closed eeee, which still awaits the broker.
const std::string kJournal =
    open_event("tovra-1111aaaa-x", "SPY", R"(,"qty":10)") + open_event("tovra-1111bbbb-y", "QQQ") +
    open_event("tovra-2222cccc-z", "IWM") + fill_event("tovra-2222cccc-z") +
    open_event("tovra-3333dddd", "IWM", R"(,"exit":true)") + fill_event("tovra-3333dddd") +
    open_event("tovra-4444eeee", "TLT") + close_event("tovra-4444eeee", "1") + "not a line\r\n";

class CloseUnplaced : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    set("ALPACA_ACCOUNT", "default");
    write_text(journal(), kJournal);
  }
  fs::path journal() const { return state("journal.jsonl"); }
  // The latest close and fill the journal holds for an id, as written.
  struct Recorded {
    std::optional<vavev_aziz::CloseEntry> close;
    std::optional<vavev_aziz::FillEntry> fill;
  };
  Recorded trade(const std::string& id) const {
    Recorded r;
    for (const auto& e : vavev_aziz::Journal(journal()).events()) {
      if (const auto* c = e.close(); c && c->id == id) r.close = *c;
      if (const auto* f = e.fill(); f && f->id == id) r.fill = *f;
    }
    return r;
  }
};

TEST_F(CloseUnplaced, RefusalsWriteNothing) {
  const std::string c = "tovra trade close: ", u = "tovra trade unplaced: ";
  const std::string pnl = c + "--pnl N is required (realized, net)\n";
  const std::string qty = u +
                          "this ticket predates the recorded quantity, so I do not know how many "
                          "were attempted.\n  Pass --qty N. Guessing would put a made-up number "
                          "into attribution.\n";
  const std::pair<Args, std::string> cases[] = {
      {{"close", "--pnl", "5"},
       c + "--id <client_order_id> is required\n  open now:\n    tovra-1111aaaa-x  SPY\n"
           "    tovra-1111bbbb-y  QQQ\n    tovra-2222cccc-z  IWM\n"},
      {{"close", "--id", "3333"}, c + "no OPEN trade matching '3333'\n"},
      {{"close", "--id", "AAAA", "--pnl", "1"}, c + "no OPEN trade matching 'AAAA'\n"},
      {{"close", "--id", "1111", "--pnl", "1"},
       c + "'1111' matches 2 open trades \u2014 use more of the id\n"},
      {{"close", "--id", "aaaa", "--pnl"}, pnl},
      {{"close", "--id", "aaaa", "--pnl", "ten"}, pnl},
      {{"close", "--id", "aaaa", "--pnl", "inf"}, pnl},
      {{"unplaced", "--reason", "r", "--id"},
       u + "--id <client_order_id> is required\n  awaiting the broker now:\n"
           "    tovra-1111aaaa-x\n    tovra-1111bbbb-y\n    tovra-4444eeee\n"},
      {{"unplaced", "--id", "zzz"},
       u + "--reason \"\u2026\" is required \u2014 what the broker said\n"},
      {{"unplaced", "--id", "cccc", "--reason", "r"},
       u + "no order awaiting the broker matching 'cccc'\n"},
      {{"unplaced", "--id", "1111", "--reason", "r"},
       u + "'1111' matches 2 \u2014 use more of the id\n"},
      {{"unplaced", "--id", "bbbb", "--reason", "r"}, qty},
      {{"unplaced", "--id", "bbbb", "--reason", "r", "--qty", "nan"}, qty},
  };
  for (const auto& [args, err] : cases) {
    auto r = run(args);
    EXPECT_EQ(r.code, 3) << err;
    EXPECT_EQ(r.out + r.err, err);
  }
  EXPECT_EQ(slurp(journal()), kJournal);
}

TEST_F(CloseUnplaced, CloseAndUnplacedRecord) {
  const std::pair<Args, std::string> cases[] = {
      {{"close", "--id", "tovra-1111a", "--pnl", "12.5", "--price", "x"},
       "closed tovra-1111aaaa-x (SPY) P&L +12.50\n  2 still open\n"},
      {{"unplaced", "--id", "aaaa", "--reason", "no buying power", "--qty", "x"},
       "recorded as refused at the wire: tovra-1111aaaa-x\n  2 open \u00b7 2 awaiting "
       "reconciliation\n"},
      {{"unplaced", "--id", "bbbb", "--reason", "r", "--qty", "2"},
       "recorded as refused at the wire: tovra-1111bbbb-y\n  1 open \u00b7 1 awaiting "
       "reconciliation\n"},
      {{"close", "--pnl", "-3", "--id", "", "--outcome", "stopped", "--price", "401.5", "--note",
        "gap"},
       "closed tovra-2222cccc-z (IWM) P&L -3.00\n  0 still open\n"},
  };
  for (const auto& [args, out] : cases) {
    auto r = run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, out);
  }
  const auto a = trade("tovra-1111aaaa-x"), b = trade("tovra-1111bbbb-y"),
             c = trade("tovra-2222cccc-z");
  ASSERT_TRUE(a.close && c.close && a.fill && b.fill);
  EXPECT_EQ(a.close->outcome + "|" + a.close->note + "|" + c.close->outcome + "|" + c.close->note,
            "closed_early||stopped|gap");
  EXPECT_EQ(a.close->realized_pnl + c.close->realized_pnl, 9.5);
  EXPECT_EQ(a.close->underlying_price.value_or(0) + c.close->underlying_price.value_or(0), 401.5);
  EXPECT_GT(a.close->at, 1.6e9);
  EXPECT_EQ(a.fill->status + "|" + a.fill->note,
            "rejected|REFUSED AT THE WIRE, never created: no buying power");
  EXPECT_EQ(a.fill->intended_qty + b.fill->intended_qty, 12);
}

// A failed write can leave a line without its end; the next record then joins it and is lost.
// That must be reported, and running the command again records it.
TEST_F(CloseUnplaced, ALostRecordIsNotReportedAsDoneAndATornLineCostsOnlyItself) {
  const std::pair<Args, std::string> cases[] = {
      {{"close", "--id", "aaaa", "--pnl", "0"},
       "closed tovra-1111aaaa-x (SPY) P&L +0.00\n  2 still open\n"},
      {{"unplaced", "--id", "bbbb", "--reason", "r", "--qty", "1"},
       "recorded as refused at the wire: tovra-1111bbbb-y\n  1 open \u00b7 2 awaiting "
       "reconciliation\n"},
  };
  for (const auto& [args, out] : cases) {
    // A journal that may not grow (a file-size limit standing in for a full disk).
    Args limited = {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", TOVRA_TRADE_BIN};
    limited.insert(limited.end(), args.begin(), args.end());
    const auto before = slurp(journal());
    auto lost = vavev_aziz::platform::run("/bin/sh", limited);
    EXPECT_EQ(lost.status, 3);
    EXPECT_EQ(lost.out, "");
    EXPECT_NE(lost.err.find("journal write FAILED (" + journal().string() + ")"), std::string::npos)
        << lost.err;
    EXPECT_EQ(slurp(journal()), before);

    // A last line left without its line feed stays a line of its own; the record follows it.
    write_text(journal(), before + R"({"event":"clo)");
    EXPECT_EQ(run(args).out, out);
    EXPECT_EQ(slurp(journal()).substr(0, before.size() + 15), before + "{\"event\":\"clo\n{");
  }
}

}  // namespace
}  // namespace trade::testing
