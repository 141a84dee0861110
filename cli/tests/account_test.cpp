// `account`: the read-only summary against the fake broker, in text and JSON, and what it
// does when parts of the broker fail.
#include "harness.hpp"

namespace trade::testing {
namespace {

using tovra::testing::FakeBroker;
using tovra::testing::Json;
using tovra::testing::Reply;

class Account : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    broker.set_positions(Json::array({
        Json{{"symbol", "AAPL"},
             {"asset_class", "us_equity"},
             {"qty", "10"},
             {"market_value", "1875.40"},
             {"unrealized_pl", "12.5"}},
        Json{{"symbol", "SPY250117P00450000"},
             {"asset_class", "us_option"},
             {"qty", "-2"},
             {"market_value", "-310"}},
        Json{{"symbol", "BTCUSD"}, {"qty", "0.5"}, {"market_value", "30000"}},
        Json{{"symbol", "ODD"}, {"qty", "n/a"}},
    }));
  }
};

TEST_F(Account, TextSummary) {
  auto r = run({"account"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, broker.url() +
                       "  [LIVE \u2014 real money]\n"
                       "  status            ACTIVE\n"
                       "  equity            $100000.00\n"
                       "  buying power      $200000\n"
                       "  options level     3\n"
                       "  shorting          true\n"
                       "  tradable          yes\n"
                       "  market            OPEN \u2014 closes 2025-01-17T16:00:00-05:00\n"
                       "\n"
                       "  4 open positions\n"
                       "    AAPL                         10\n"
                       "    SPY250117P00450000           -2\n"
                       "    BTCUSD                      0.5\n"
                       "    ODD                           0\n");
}

TEST_F(Account, PartsThatFailAreShownAsUnavailable) {
  auto account = FakeBroker::default_account();
  account.erase("options_trading_level");
  account["account_blocked"] = true;
  account["equity"] = "not a number";
  broker.set_account(account);
  broker.reply("GET", "/v2/clock", Reply(500, "down"));
  broker.reply("GET", "/v2/positions", Reply(503, "busy"));

  auto text = run({"account"});
  EXPECT_EQ(text.code, 0);
  for (const char* line :
       {"  equity            $0.00\n", "  options level     -\n",
        "  tradable          NO \u2014 account is BLOCKED\n",
        "  market            unknown \u2014 clock unavailable\n", "\n  0 open positions\n"})
    EXPECT_NE(text.out.find(line), std::string::npos) << line;

  auto js = run({"account", "x", "--json"});
  EXPECT_EQ(js.code, 0);
  EXPECT_EQ(js.out, "{\n  \"base\": \"" + broker.url() +
                        "\",\n  \"paper\": false,\n  \"status\": \"ACTIVE\",\n"
                        "  \"equity\": 0.0,\n  \"options_trading_level\": null,\n"
                        "  \"shorting_enabled\": true,\n  \"can_trade\": false,\n"
                        "  \"market_open\": null,\n  \"market_next_open\": null,\n"
                        "  \"market_next_close\": null,\n  \"positions\": []\n}\n");
}

TEST_F(Account, JsonPositions) {
  auto r = run({"account", "--json"});
  ASSERT_EQ(r.code, 0);
  auto v = Json::parse(r.out);
  EXPECT_EQ(v["market_open"], true);
  EXPECT_EQ(v["positions"][0].dump(), R"({"symbol":"AAPL","qty":10.0,"market_value":"1875.40"})");
  EXPECT_EQ(v["positions"][3]["qty"], 0.0);
}

TEST_F(Account, FailuresBeforeTheSummaryExitThree) {
  broker.reply("GET", "/v2/account", Reply(403, "forbidden"));
  auto r = run({"account"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "tovra trade: alpaca 403: forbidden\n");
  EXPECT_EQ(r.out, "");

  unset("ALPACA_API_KEY");
  auto none = run({"account"});
  EXPECT_EQ(none.code, 3);
  EXPECT_EQ(none.err.rfind("tovra trade: no Alpaca credentials", 0), 0u);
}

}  // namespace
}  // namespace trade::testing
