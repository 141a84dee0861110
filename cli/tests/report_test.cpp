// report: the attribution rows, counts, stale list and filled exits in text and JSON, over
// hand-written journals (unreadable lines, the array form and CRLF endings among them).
#include <cmath>

#include <nlohmann/json.hpp>

#include "harness.hpp"
#include "report.hpp"

namespace trade::testing {
namespace {

using vavev_aziz::Attribution;
using Json = nlohmann::ordered_json;

const std::string kTooFew =
    " trades \u2014 too few to distinguish skill from luck (need 30+ before any verdict)";

// "@" stands for the rest of the too-few verdict.
std::string with_verdicts(std::string text) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@'))
    text.replace(at, 1, kTooFew);
  return text;
}

class Report : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    set("ALPACA_ACCOUNT", "default");
  }
  fs::path journal() const { return state("journal.jsonl"); }
};

TEST(ReportRow, ColumnsAndVerdict) {
  // The third label is padded by characters, and a sum that is not finite prints as elsewhere.
  const Attribution rows[] = {{"ALL closed trades", 42, 26, 0.0435, 0, 1234.56, 1},
                              {"iv_rank 75-100% (rich)", 7, 7, -0.1234, 0, -250, 4},
                              {"\u03c9-wheel", 1, 0, 0, 0, NAN, 1},
                              {"empty", 0, 0, 0, 0, 0, 1}};
  std::string text;
  for (const auto& row : rows)
    text += report_row(row);
  EXPECT_EQ(
      text,
      with_verdicts(
          "  ALL closed trades          n=42   win  61.9%  meanROR  +4.35%  P&L   +1234.56\n"
          "      t=+0.00 \u2014 NOT distinguishable from luck\n"
          "  iv_rank 75-100% (rich)     n=7    win 100.0%  meanROR -12.34%  P&L    -250.00\n"
          "      7@\n"
          "  \u03c9-wheel                    n=1    win   0.0%  meanROR  +0.00%  P&L        NaN\n"
          "      1@\n"));
}

TEST_F(Report, EmptyJournalInTextAndJson) {
  auto text = run({"report"});
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out, journal().string() +
                          "\n\nOVERALL\n"
                          "  no closed, filled trades yet \u2014 nothing to attribute\n"
                          "\nBY IV RANK AT ENTRY  (the regime question: harvest when rich, stand "
                          "down when not)\n"
                          "\nBY STRUCTURE\n"
                          "\n  0 open \u00b7 0 awaiting reconciliation\n");

  auto js = run({"report", "whatever", "--json"});
  EXPECT_EQ(js.code, 0);
  const auto row = [](const std::string& label, int k) {
    return R"({"label":")" + label +
           R"(","n":0,"wins":0,"win_rate":0.0,"mean_ror":0.0,"t_stat":0.0,"family_size":)" +
           std::to_string(k) + R"(,"n_needed":null,"total_pnl":-0.0,"verdict":"0)" + kTooFew +
           "\"}";
  };
  EXPECT_EQ(Json::parse(js.out).dump(),
            R"({"overall":)" + row("ALL closed trades", 1) + R"(,"by_iv_rank":[)" +
                row("iv_rank 0-25% (cheap)", 4) + "," + row("iv_rank 25-50%", 4) + "," +
                row("iv_rank 50-75%", 4) + "," + row("iv_rank 75-100% (rich)", 4) +
                R"(],"by_structure":[],"by_proposer":[],"open":0,"awaiting_reconciliation":0,)"
                R"("exits_awaiting_close":[]})");
}

// Two scored proposers, a smoke-test trade left out, closed, open, awaiting and exit orders,
// with lines the reader must skip (CRLF endings and the array form are read). "now" is fixed
// at 1000000 so the ages sit exactly on the stale boundary.
const std::string kJournal =
    open_event("tovra-aaaa1111", "SPY", R"(,"iv_rank":0.8,"max_loss":100,"by":"loop")",
               "put_credit") +
    fill_event("tovra-aaaa1111") + "\r\n" + close_event("tovra-aaaa1111", "50") +
    R"(["open","tovra-bbbb2222",1,"QQQ","iron_condor","t",0.3,null,null,2,null,null,200,)"
    R"(null,"r","operator","cli"])"
    "\n"
    R"(["fill","tovra-bbbb2222",2,"filled",2,2,null,null])"
    "\r\n" +
    close_event("tovra-bbbb2222", "-20") + close_event("tovra-aaaa1111", "null") +
    "{\"event\":\"Open\",\"id\":\"tovra-zz\"}\nnot json\n   \n" +
    open_event("tovra-ssss", "SPY", R"(,"max_loss":10)", "smoke_test") + fill_event("tovra-ssss") +
    close_event("tovra-ssss", "999") + open_event("tovra-cccc3333", "IWM") +
    fill_event("tovra-cccc3333") +
    open_event("tovra-eeee4444", "IWM", R"(,"exit":true,"closes":"tovra-cccc3333")") +
    fill_event("tovra-eeee4444") + open_event("tovra-ffff5555", "TSLA", R"(,"exit":true)") +
    fill_event("tovra-ffff5555") +
    open_event("tovra-ddddddddddd\u00e9\u00e9", "D", "", "s", "976599") +
    open_event("tovra-fresh-at-the-boundary", "F", "", "s", "976600") +
    open_event("tovra-gggggggggggg-long", "G", "", "s", "964000");

TEST_F(Report, WholeTextReport) {
  write_text(journal(), kJournal);
  EXPECT_EQ(
      report_text(vavev_aziz::Journal(journal()), 1000000),
      journal().string() +
          with_verdicts(
              "\n\nOVERALL\n"
              "  ALL closed trades          n=2    win  50.0%  meanROR +20.00%  P&L     +30.00\n"
              "      2@\n"
              "\nBY IV RANK AT ENTRY  (the regime question: harvest when rich, stand down when "
              "not)\n"
              "  iv_rank 25-50%             n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
              "      1@\n"
              "  iv_rank 75-100% (rich)     n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
              "      1@\n"
              "\nBY STRUCTURE\n"
              "  iron_condor                n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
              "      1@\n"
              "  put_credit                 n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
              "      1@\n"
              "\nBY PROPOSER  (does the human-prompted flow pick different trades than the "
              "loop?)\n"
              "  cli                        n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
              "      1@\n"
              "  loop                       n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
              "      1@\n"
              "\n  4 open \u00b7 3 awaiting reconciliation\n"
              "\n  STALE \u2014 awaiting the broker for more than a session:\n"
              "    tovra-ddddddddddd  6.5h\n"
              "    tovra-gggggggggggg  10.0h\n"
              "    Each holds a position slot and part of the risk budget. Reconcile them,\n"
              "    or record the ones the broker never created: tovra trade unplaced --id X "
              "\u2026\n"
              "\nFILLED EXITS WITH NO RESULT RECORDED  (2 \u2014 these are missing from every "
              "row above)\n"
              "  IWM  exit tovra-ee filled \u2014 record it:\n"
              "      tovra trade close --id tovra-cc --pnl <realized>\n"
              "  TSLA  exit tovra-ff filled against a position this journal never opened "
              "\u2014 nothing to close\n"));
}

TEST_F(Report, ProposerBlockNeedsTwoScoredProposers) {
  // "cli" has a closed trade without a maximum loss: a row with n 0, which does not count.
  write_text(journal(), open_event("tovra-a", "SPY", R"(,"max_loss":100,"by":"loop")") +
                            close_event("tovra-a", "50") +
                            open_event("tovra-b", "SPY", R"(,"max_loss":100,"by":"loop")") +
                            close_event("tovra-b", "-10") +
                            open_event("tovra-h", "SPY", R"(,"by":"cli")") +
                            close_event("tovra-h", "-5"));
  EXPECT_EQ(run({"report"}).out.find("BY PROPOSER"), std::string::npos);
  const auto js = Json::parse(run({"report", "--json"}).out);
  EXPECT_EQ(js["by_proposer"].size(), 2u);
  EXPECT_EQ(js["overall"]["total_pnl"], 35.0);
  EXPECT_NEAR(js["overall"]["t_stat"].get<double>(), 2.0 / 3.0, 1e-12);
  EXPECT_EQ(js["overall"]["n_needed"], 18);
}

TEST_F(Report, ExitsInJson) {
  write_text(journal(), kJournal);
  EXPECT_EQ(Json::parse(run({"report", "--json"}).out)["exits_awaiting_close"].dump(),
            R"([{"exit_id":"tovra-eeee4444","symbol":"IWM","closes":"tovra-cccc3333",)"
            R"("named":true},{"exit_id":"tovra-ffff5555","symbol":"TSLA","closes":null,)"
            R"("named":false}])");
}

TEST_F(Report, JournalCommandsNeedAHome) {
  unset("HOME");
  for (const char* command : {"report", "reconcile", "close", "unplaced"}) {
    auto r = run({command, "--json"});
    EXPECT_EQ(std::to_string(r.code) + r.out + r.err, "3tovra trade: no HOME\n") << command;
  }
}

}  // namespace
}  // namespace trade::testing
