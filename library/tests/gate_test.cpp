// The rule gate: evaluation, the owner's question, and the rule file's reader and writer.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "vavev_aziz/gate.hpp"

namespace vavev_aziz {
namespace {

Order order(AssetClass c, Side s, Intent i, double notional, std::string symbol = "SPY") {
  auto o = Order::propose(std::move(symbol), c, s, i, notional);
  return o;
}

Leg leg(Side side, Intent intent, bool covered) {
  return Leg{"SPY250117C00500000", 1, 1, side, covered, intent};
}

Gate single(std::vector<Predicate> when) {
  return Gate{{Rule{"r", std::move(when), Posture::allow()}}};
}

bool matches(const std::vector<Predicate>& when, const Order& o, double equity = 100000,
             bool paper = true) {
  return single(when).evaluate(o, equity, paper).allow() != nullptr;
}

TEST(Gate, EmptyTableAsksAboutEverything) {
  Gate g;
  auto exit = order(AssetClass::Equity, Side::Sell, Intent::Closing, 10);
  auto d = g.evaluate(exit, 100000, false);
  ASSERT_TRUE(d.ask());
  EXPECT_EQ(d.ask()->rule, "(no rule matched)");
  EXPECT_EQ(d.ask()->ttl.secs, 300u);
  EXPECT_EQ(d.ask()->question, "SELL equity SPY $10.00 (closing) [(no rule matched)]");
  EXPECT_EQ(d.ask()->client_order_id, exit.client_order_id);
}

TEST(Gate, FirstMatchDecides) {
  Gate g{{Rule{"deny-crypto", {Predicate::asset_class_is(AssetClass::Crypto)}, Posture::deny()},
          Rule{"catch-all", {}, Posture::ask(0)}, Rule{"never-reached", {}, Posture::allow()}}};
  auto c = order(AssetClass::Crypto, Side::Buy, Intent::Opening, 50, "BTC/USD");
  auto d = g.evaluate(c, 1000, false);
  ASSERT_TRUE(d.deny());
  EXPECT_EQ(d.deny()->reason, "rule 'deny-crypto' denies BUY crypto BTC/USD $50.00 (opening)");
  auto e = g.evaluate(order(AssetClass::Equity, Side::Buy, Intent::Opening, 5), 1000, false);
  ASSERT_TRUE(e.ask());
  EXPECT_EQ(e.rule(), "catch-all");
  EXPECT_EQ(e.ask()->ttl.secs, 0u);
}

TEST(Gate, PredicateEdges) {
  auto o = order(AssetClass::Equity, Side::Buy, Intent::Opening, 2000);
  EXPECT_TRUE(matches({Predicate::symbol_in({"qqq", "spy"})}, o));
  EXPECT_FALSE(matches({Predicate::symbol_in({})}, o));
  EXPECT_TRUE(matches({Predicate::symbol_not_in({})}, o));
  EXPECT_FALSE(matches({Predicate::symbol_in({"SPY "})}, o));
  EXPECT_FALSE(matches({Predicate::notional_over(2000)}, o));
  EXPECT_FALSE(matches({Predicate::notional_under(2000)}, o));

  auto big = order(AssetClass::Equity, Side::Buy, Intent::Opening, 10000);
  EXPECT_FALSE(matches({Predicate::fraction_of_equity_over(0.1)}, big, 100000));
  big.notional = 10000.01;
  EXPECT_TRUE(matches({Predicate::fraction_of_equity_over(0.1)}, big, 100000));
  auto tiny = order(AssetClass::Equity, Side::Buy, Intent::Opening, 0.01);
  EXPECT_TRUE(matches({Predicate::fraction_of_equity_over(0.1)}, tiny, 0));
  EXPECT_TRUE(matches({Predicate::fraction_of_equity_over(0.1)}, tiny, -5));

  EXPECT_TRUE(matches({Predicate::paper_account(true)}, o, 1, true));
  EXPECT_FALSE(matches({Predicate::paper_account(true)}, o, 1, false));
}

TEST(Gate, IntentLegsAndNakedShorts) {
  auto o = order(AssetClass::Option, Side::Sell, Intent::Closing, 100);
  o.legs = {leg(Side::Sell, Intent::Closing, true), leg(Side::Buy, Intent::Opening, true)};
  EXPECT_TRUE(matches({Predicate::intent_is(Intent::Closing)}, o));
  EXPECT_FALSE(matches({Predicate::reduces_risk()}, o));
  EXPECT_TRUE(matches({Predicate::multi_leg()}, o));
  EXPECT_FALSE(matches({Predicate::naked_short()}, o));

  auto equity = order(AssetClass::Equity, Side::Sell, Intent::Opening, 100);
  equity.legs = {leg(Side::Sell, Intent::Opening, false)};
  EXPECT_FALSE(matches({Predicate::naked_short()}, equity));
  EXPECT_FALSE(matches({Predicate::naked_short()},
                       order(AssetClass::Option, Side::Sell, Intent::Opening, 100)));
}

TEST(Gate, StarterTable) {
  Gate g{default_rules()};
  auto exit = order(AssetClass::Option, Side::Sell, Intent::Closing, 1e9);
  EXPECT_EQ(g.evaluate(exit, 0, false).rule(), "exits-are-free");
  auto naked = order(AssetClass::Option, Side::Sell, Intent::Opening, 100);
  naked.legs = {leg(Side::Sell, Intent::Opening, false)};
  EXPECT_TRUE(g.evaluate(naked, 100000, false).deny());
  auto big = order(AssetClass::Equity, Side::Buy, Intent::Opening, 1500);
  auto d = g.evaluate(big, 1000, false);
  EXPECT_EQ(d.rule(), "big-ticket-always-asks");
  EXPECT_EQ(d.ask()->ttl.secs, 600u);
  EXPECT_TRUE(g.evaluate(big, 100000, false).allow());
  EXPECT_EQ(
      g.evaluate(order(AssetClass::Crypto, Side::Buy, Intent::Opening, 10), 100000, false).rule(),
      "(no rule matched)");
}

TEST(Gate, Question) {
  auto o = order(AssetClass::Equity, Side::Buy, Intent::Opening, 1500, "AAPL");
  EXPECT_EQ(question_for(o, "big-ticket-always-asks"),
            "BUY equity AAPL $1500.00 (opening) [big-ticket-always-asks]");
  o.thesis = "earnings drift";
  EXPECT_EQ(question_for(o, "r"), "BUY equity AAPL $1500.00 (opening) \u2014 earnings drift [r]");
  o.thesis = "  ";
  EXPECT_EQ(question_for(o, "r"), "BUY equity AAPL $1500.00 (opening) \u2014    [r]");
}

TEST(RuleFile, StarterTableIsWrittenByteForByte) {
  std::ifstream golden(std::string(TOVRA_LIBRARY_GOLDEN) + "/starter_rules.json");
  std::stringstream want;
  want << golden.rdbuf();
  EXPECT_EQ(write_rules(default_rules()) + "\n", want.str());
  auto again = read_rules(want.str());
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(write_rules(*again) + "\n", want.str());
}

TEST(RuleFile, ReadsBothPredicateForms) {
  auto rules = read_rules(R"([
    {"name": "paper-index-options", "when": [
       {"asset_class_is": "option"}, {"symbol_in": ["SPY", "QQQ"]}, {"notional_under": 2000},
       {"paper_account": true}, "multi_leg", {"reduces_risk": null}, {"side_is": {"sell": null}}],
     "posture": "ask", "ttl_secs": 120, "comment": ["ignored", 1]},
    {"posture": "deny", "name": "no-when", "ttl_secs": "ignored", "ttl_secs": 1}
  ])");
  ASSERT_TRUE(rules) << rules.error();
  ASSERT_EQ(rules->size(), 2u);
  const auto& r = (*rules)[0];
  ASSERT_EQ(r.when.size(), 7u);
  std::string debug;
  for (const auto& p : r.when)
    debug += p.debug() + " ";
  EXPECT_EQ(debug,
            "AssetClassIs(Option) SymbolIn([\"SPY\", \"QQQ\"]) NotionalUnder(2000.0) "
            "PaperAccount(true) MultiLeg ReducesRisk SideIs(Sell) ");
  EXPECT_EQ(r.posture.kind, Posture::Kind::Ask);
  EXPECT_EQ(r.posture.ttl_secs, 120u);
  EXPECT_TRUE((*rules)[1].when.empty());
  EXPECT_EQ((*rules)[1].posture.kind, Posture::Kind::Deny);
  EXPECT_TRUE(read_rules("[]\n")->empty());
}

TEST(RuleFile, RefusesTheWholeTableOnTheFirstError) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {R"([{"when": [], "posture": "allow"}])", "missing field `name` at line 1 column 33"},
      {R"([{"name": "a"}])", "missing field `posture` at line 1 column 14"},
      {R"([{"name": "a", "posture": "ask"}])", "missing field `ttl_secs` at line 1 column 32"},
      {R"([{"name": "a", "posture": "ask", "ttl_secs": 1, "ttl_secs": 2}])",
       "duplicate field `ttl_secs` at line 1 column 62"},
      {R"([{"name": "a", "name": "b", "posture": "allow"}])",
       "duplicate field `name` at line 1 column 21"},
      {R"([{"name": "a", "posture": "maybe"}])",
       "unknown variant `maybe`, expected one of `deny`, `ask`, `allow` at line 1 column 33"},
      {R"([{"name": "a", "posture": "ask", "ttl_secs": -1}])",
       "invalid value: integer `-1`, expected u64 at line 1 column 47"},
      {R"([{"name": "a", "when": ["symbol_in"], "posture": "allow"}])",
       "invalid type: unit variant, expected newtype variant at line 1 column 35"},
      {R"([{"name": "a", "when": [{"side_is": "BUY"}], "posture": "allow"}])",
       "unknown variant `BUY`, expected `buy` or `sell` at line 1 column 41"},
      {R"([{"name": "a", "when": [{"asset_class_is": {"bond": null}}], "posture": "allow"}])",
       "unknown variant `bond`, expected one of `equity`, `option`, `crypto` at line 1 column 50"},
      {R"([{"name": "a", "when": [{"side_is": {"buy": 1}}], "posture": "allow"}])",
       "invalid type: integer `1`, expected unit variant at line 1 column 45"},
      {R"([{"name": "a", "when": [{"side_is": {"buy": null, "x": 1}}], "posture": "allow"}])",
       "expected a map with a single key at line 1 column 53"},
      {R"([{"name": "a", "when": [{"side_is": {}}], "posture": "allow"}])",
       "expected a map with a single key at line 1 column 38"},
      {R"([{"name": "a", "when": [{"multi_leg": null, "x": 1}], "posture": "allow"}])",
       "expected a map with a single key at line 1 column 47"},
      {R"([{"name": "a", "when": [{}], "posture": "allow"}])",
       "expected a map with a single key at line 1 column 26"},
      {R"({"name": "a", "posture": "allow"})",
       "invalid type: map, expected a sequence at line 1 column 1"},
      {R"([] [])", "trailing characters at line 1 column 4"},
  };
  for (const auto& c : cases) {
    auto r = read_rules(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error(), c.error) << c.text;
  }
  auto unknown = read_rules(R"([{"name": "a", "when": ["everything"], "posture": "allow"}])");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(
      unknown.error().rfind("unknown variant `everything`, expected one of `asset_class_is`", 0),
      0u);
  auto two_keys =
      read_rules(R"([{"name":"a","when":[{"multi_leg":null,"x":1}],"posture":"deny"}])");
  EXPECT_FALSE(two_keys);
}

}  // namespace
}  // namespace vavev_aziz
