// The live context's equity sources and the check command: its three decisions in text and
// JSON, the failures that stop it before the rule table, and runs of the built binary against
// the fake broker.
#include <regex>

#include "harness.hpp"
#include "live_context.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;

// Client order ids are fresh on every run.
std::string without_ids(const std::string& text) {
  return std::regex_replace(text, std::regex("tovra-[0-9a-f-]{36}"), "ID");
}

class Check : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    broker.set_positions(Json::array({{{"symbol", "AAPL"}, {"qty", "10"}}}));
    broker.set_trade("AAPL", 150.25);
  }
  void rules() {
    write_text(config(), R"([
      {"name": "exits", "when": ["reduces_risk"], "posture": "allow"},
      {"name": "no-bad", "when": [{"symbol_in": ["BAD"]}], "posture": "deny"},
      {"name": "small", "when": [{"notional_under": 1000}], "posture": "allow"}])");
  }
  Ran check(Args args) {
    args.insert(args.begin(), "check");
    return run(args);
  }
};

TEST_F(Check, LiveContextTakesEquityFromTheBrokerElseTheStatedValue) {
  Json zero = tovra::testing::FakeBroker::default_account();
  zero["equity"] = "0";
  const struct {
    Args args;
    std::function<void()> setup;
    std::string_view source;
    double equity;
    bool known;
  } cases[] = {
      {{"--offline"}, [] {}, kEquityOffline, 100000, false},
      {{"--offline", "--equity", "20000"}, [] {}, kEquityOffline, 20000, true},
      {{"--offline", "--equity", "nan"}, [] {}, kEquityOffline, 100000, false},
      {{"--equity", "5000"}, [&] { unset("ALPACA_API_KEY"); }, kEquityNoCredentials, 5000, true},
      {{"--equity", "5000"}, [&] { broker.set_account(zero); }, kEquityUnreadable, 5000, true},
      {{"--equity", "5000"}, [] {}, kEquityLive, 100000, true},
      {{},
       [&] {
         broker.reply("GET", "/v2/account", {500, ""});
       },
       kEquityUnreadable,
       1e5,
       false},
  };
  for (const auto& c : cases) {
    c.setup();
    const LiveContext ctx = live_context(order_options(c.args));
    EXPECT_EQ(ctx.source, c.source);
    EXPECT_EQ(ctx.equity, c.equity) << c.source;
    EXPECT_EQ(ctx.equity_known, c.known) << c.source;
    // Positions are read whenever a client is, whatever the account call gave.
    EXPECT_EQ(ctx.positions.size(), c.source.starts_with("live") ? 1u : 0u) << c.source;
    EXPECT_FALSE(ctx.paper);  // a loopback base address is never the paper endpoint
    set("ALPACA_API_KEY", "AKTESTKEY");
    broker.set_account(tovra::testing::FakeBroker::default_account());
  }
}

TEST_F(Check, PrintsEachDecisionAsTextAndJson) {
  rules();
  const std::string q = "BUY equity AAPL $5000.00 (opening) \u2014 why not [(no rule matched)]";
  const std::string denied = "rule 'no-bad' denies BUY equity BAD $500.00 (opening)";
  const struct {
    Args args;
    int code;
    std::string text, json;
  } cases[] = {
      {{"--symbol", "AAPL", "--notional", "500"},
       0,
       "ALLOWED  by 'small'\n  order  BUY equity AAPL $500.00 (opening)\n  id     ID\n",
       R"({"decision":"allowed","rule":"small","client_order_id":"ID","granted_by":"rule"})"},
      {{"--symbol", "AAPL", "--notional", "5000", "--why", "why not"},
       1,
       "ASK      by '(no rule matched)' \u2014 300s to answer\n  question  " + q +
           "\n  id        ID\n\n  next: imsg approve \"" + q + "\" --timeout 300\n",
       R"j({"decision":"ask","rule":"(no rule matched)","ttl_secs":300,"question":")j" + q +
           R"j(","client_order_id":"ID"})j"},
      {{"--symbol", "BAD", "--notional", "500"},
       2,
       "DENIED   by 'no-bad'\n  " + denied +
           "\n\n  nothing promotes a denial \u2014 edit the rule table if this is wrong\n",
       R"({"decision":"denied","rule":"no-bad","reason":")" + denied + "\"}"},
  };
  for (auto c : cases) {
    c.args.insert(c.args.end(), {"--offline", "--equity", "20000"});
    auto text = check(c.args);
    EXPECT_EQ(text.code, c.code);
    EXPECT_EQ(without_ids(text.out) + text.err, c.text);
    c.args.push_back("--json");
    auto json = check(c.args);
    EXPECT_EQ(json.code, c.code);
    EXPECT_EQ(without_ids(Json::parse(json.out).dump()) + json.out.back(), c.json + "\n");
  }
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(Check, StopsBeforeTheRuleTableOnBadOrdersAndUnknownEquity) {
  // The rest of the refusal is the same text `ask` prints; its first line names the source.
  const std::string refusal =
      "tovra trade: REFUSED \u2014 equity is unknown (offline), and equity is the denominator of "
      "every fraction-of-equity rule and every risk limit.\n"
      "  Evaluating against a placeholder would LOOSEN the gate silently, so no open is judged.\n";
  const std::pair<Args, std::string> cases[] = {
      {{"--class", "bond", "--equity", "1"},
       "tovra trade check: --class bond: expected equity|option|crypto\n"},
      {{}, refusal},
      // Offline nothing shows that a declared close fits inside a position.
      {{"--side", "sell", "--intent", "closing"}, refusal},
      {{"--equity", "1"},
       "tovra trade: no rule table at " + config().string() +
           " \u2014 run `tovra trade rules --init` to write the starter table\n"},
  };
  for (const auto& [more, err] : cases) {
    Args args{"--symbol", "AAPL", "--notional", "500", "--offline"};
    args.insert(args.end(), more.begin(), more.end());
    auto r = check(args);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ((r.out + r.err).substr(0, err.size()), err);
  }
}

TEST_F(Check, JudgesAnExitAtThePlaceholderEquity) {
  rules();
  broker.reply("GET", "/v2/account", {500, "down"});
  auto r = check({"--symbol", "AAPL", "--side", "sell", "--qty", "5", "--notional", "751.25"});
  EXPECT_EQ(without_ids(r.out + r.err),
            "ALLOWED  by 'exits'\n  order  SELL equity AAPL $751.25 (closing)\n  id     ID\n");
}

TEST_F(Check, BinarySizesAtTheLivePriceOrRefusesWithoutOne) {
  rules();
  auto priced = run_binary({"check", "--symbol", "AAPL", "--qty", "2", "--notional", "100"});
  EXPECT_EQ(priced.code, 0);
  EXPECT_EQ(without_ids(priced.out),
            "ALLOWED  by 'small'\n  order  BUY equity AAPL $300.50 (opening)\n  id     ID\n");
  EXPECT_EQ(priced.err.find("tovra trade: NOTE: --notional 100.00 does not match 2 @ 150.25"), 0u);

  broker.reply("GET", "/v2/stocks/AAPL/trades/latest", {500, "down"});
  auto unpriced = run_binary({"check", "--symbol", "AAPL", "--qty", "2", "--notional", "100"});
  EXPECT_EQ(unpriced.code, 3);
  EXPECT_EQ(unpriced.out, "");
  EXPECT_EQ(unpriced.err.find("tovra trade: REFUSED \u2014 no price for AAPL (alpaca 500: down)."),
            0u);
}

}  // namespace
}  // namespace trade::testing
