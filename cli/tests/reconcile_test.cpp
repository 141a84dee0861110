// reconcile: the broker's statuses of awaiting orders journalled as fills, in text and JSON;
// nothing asked when nothing awaits; nothing journalled when the broker cannot be asked.
#include "harness.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;
using tovra::testing::Reply;

Json order(const std::string& id, const std::string& status) {
  return Json{{"client_order_id", id}, {"status", status}, {"filled_qty", "3"}, {"qty", "5"}};
}

class Reconcile : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    write_text(journal(), open_event("tovra-w1", "A") + open_event("tovra-w2", "B") +
                              open_event("tovra-w3", "C") + open_event("tovra-w4", "D") +
                              open_event("tovra-done", "E") + fill_event("tovra-done"));
  }
  fs::path journal() const { return state("journal.jsonl"); }
  void broker_lists(const Json& list) {
    broker.reply("GET", "/v2/orders", Reply(200, list.dump()));
  }
};

TEST_F(Reconcile, StatusesBecomeFills) {
  broker_lists(Json::array({order("tovra-w1", "filled"), order("tovra-w2", "partially_filled"),
                            order("tovra-w3", "accepted"), order("tovra-done", "canceled"),
                            order("someone-else", "filled")}));
  auto text = run({"reconcile"});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_EQ(text.out,
            "reconciled 2 order(s); 2 still working\n  done     tovra-w1\n  done     tovra-w2\n"
            "  working  tovra-w3\n  working  tovra-w4\n");

  broker_lists(Json::array({order("tovra-w3", "cancelled"), order("tovra-w4", "new")}));
  auto js = run({"reconcile", "--json"});
  EXPECT_EQ(js.out,
            "{\n  \"reconciled\": [\n    \"tovra-w3\"\n  ],\n"
            "  \"still_awaiting\": [\n    \"tovra-w4\"\n  ]\n}\n");
}

// A fill the journal cannot take (a file-size limit standing in for a full disk) is warned
// about, not called working, and fails the command; running it again later records it.
TEST_F(Reconcile, AFillTheJournalCannotTakeFailsTheCommand) {
  broker_lists(Json::array({order("tovra-w1", "filled"), order("tovra-w3", "accepted")}));
  const std::string before = slurp(journal());
  auto lost = vavev_aziz::platform::run(
      "/bin/sh", {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" reconcile", TOVRA_TRADE_BIN});
  EXPECT_EQ(lost.status, 3);
  EXPECT_EQ(lost.out,
            "reconciled 0 order(s); 3 still working\n  working  tovra-w2\n  working  tovra-w3\n"
            "  working  tovra-w4\n");
  EXPECT_TRUE(lost.err.starts_with("tovra trade: WARNING: journal write FAILED (" +
                                   journal().string() + "): "));
  EXPECT_TRUE(lost.err.ends_with(
      " \u2014 what the broker reported of tovra-w1 is not recorded; run reconcile again\n"))
      << lost.err;
  EXPECT_EQ(slurp(journal()), before);
  EXPECT_EQ(run({"reconcile"}).code, 0);
  EXPECT_NE(slurp(journal()).find(R"("id":"tovra-w1")"), std::string::npos);
}

TEST_F(Reconcile, NothingAwaitingAsksNobody) {
  write_text(journal(), open_event("tovra-done", "E") + fill_event("tovra-done"));
  unset("ALPACA_API_KEY");
  for (const Args& line : {Args{"reconcile"}, Args{"reconcile", "--json"}}) {
    auto r = run(line);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "nothing awaiting reconciliation\n");
  }
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(Reconcile, BrokerFailuresJournalNothing) {
  const std::string before = slurp(journal());
  const std::pair<Reply, std::string> cases[] = {
      {Reply(500, "down"), "tovra trade: alpaca 500: down\n"},
      {Reply(200, "[]"), "tovra trade: no Alpaca credentials"},  // the key is unset first
  };
  for (const auto& [reply, err] : cases) {
    broker.reply("GET", "/v2/orders", reply);
    if (reply.body == "[]") unset("ALPACA_API_KEY");
    auto r = run({"reconcile", "--json"});
    EXPECT_EQ(r.code, 3) << err;
    EXPECT_EQ(r.err.substr(0, err.size()), err);
    EXPECT_EQ(r.out + slurp(journal()), before);
  }
}

}  // namespace
}  // namespace trade::testing
