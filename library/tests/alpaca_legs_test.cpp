// OCC symbols and the leg facts derived from positions: closing intent, cover and the
// maximum loss a multi-leg ticket's legs give.
#include <gtest/gtest.h>

#include "vavev_aziz/alpaca.hpp"

namespace vavev_aziz::alpaca {
namespace {

Position held(std::string symbol, std::string qty) {
  Position p;
  p.symbol = std::move(symbol);
  p.qty = std::move(qty);
  return p;
}

Leg leg(std::string symbol, Side side, double qty = 1, std::uint32_t ratio = 1) {
  return Leg{std::move(symbol), qty, ratio, side, false, Intent::Opening};
}

Order option(std::vector<Leg> legs) {
  auto o = Order::propose("SPY", AssetClass::Option, Side::Sell, Intent::Opening, 100);
  o.legs = std::move(legs);
  return o;
}

TEST(Occ, Parsing) {
  const Occ aapl{"AAPL", "240119", 190, 'C'};
  const std::pair<const char*, std::optional<Occ>> cases[] = {
      {"AAPL240119C00190000", aapl},
      {"aapl240119c00190000", aapl},
      {" \tAAPL240119C00190000\n", aapl},
      {"SPY   250117C00500000", Occ{"SPY", "250117", 500, 'C'}},
      {"spy250117p00450500", Occ{"SPY", "250117", 450.5, 'P'}},
      {"X241399P00000500", Occ{"X", "241399", 0.5, 'P'}},
      {"BRK2250620C99999999", Occ{"BRK2", "250620", 99999.999, 'C'}},
      {"A240119C0019000", std::nullopt},
      {"240119C00190000", std::nullopt},
      {"      240119C00190000", std::nullopt},
      {"BRK.B250620C00400000", std::nullopt},
      {"S PY250117C00500000", std::nullopt},
      {"SPY250117X00500000", std::nullopt},
      {"SPY25011AC00500000", std::nullopt},
      {"SPY250117C0050000A", std::nullopt},
      {"SPY250117C-0500000", std::nullopt},
      {"SPÿ250117C00500000", std::nullopt},
      {"SPY250117C00500000\xff", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [symbol, expected] : cases)
    EXPECT_EQ(parse_occ(symbol), expected) << symbol;
}

TEST(LegFacts, DeriveIntent) {
  const std::vector<Position> positions = {held("AAPL", "100"), held("TSLA", "-10"),
                                           held("ZERO", "0"), held("JUNK", "abc"),
                                           held("AAPL", "-1000")};
  struct Case {
    const char* symbol;
    Side side;
    double qty;
    bool closes;
  };
  const Case cases[] = {
      {"AAPL", Side::Sell, 50, true},
      {"AAPL", Side::Sell, 100, true},
      {"AAPL", Side::Sell, 150, false},
      {"AAPL", Side::Buy, 10, false},
      {"aapl", Side::Sell, 1, true},
      {"AAPL ", Side::Sell, 1, false},
      {"TSLA", Side::Buy, 10, true},
      {"TSLA", Side::Buy, 11, false},
      {"TSLA", Side::Sell, 1, false},
      {"ZERO", Side::Sell, 0, false},
      {"JUNK", Side::Sell, 0, false},
      {"NONE", Side::Sell, 1, false},
      {"AAPL", Side::Sell, std::numeric_limits<double>::max(), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(derive_intent(c.symbol, c.side, positions, c.qty), c.closes)
        << c.symbol << " " << word(c.side) << " " << c.qty;
}

TEST(LegFacts, ReducesUsesTheUnitsTheBrokerTrades) {
  auto o = option(
      {leg("SPY250117C00500000", Side::Buy, 2), leg("SPY250117C00505000", Side::Sell, 9, 2)});
  o.legs[0].intent = Intent::Closing;
  derive_leg_reduces(o, {});
  EXPECT_EQ(o.legs[0].intent, Intent::Opening);  // no positions: everything opens

  // The second leg trades 2 x 2 = 4 contracts, whatever its own qty says.
  derive_leg_reduces(o, {held("SPY250117C00505000", "3"), held("SPY250117C00500000", "-2")});
  EXPECT_EQ(o.legs[0].intent, Intent::Closing);
  EXPECT_EQ(o.legs[1].intent, Intent::Opening);
  derive_leg_reduces(o, {held("spy250117c00505000", "4")});
  EXPECT_EQ(o.legs[0].intent, Intent::Opening);
  EXPECT_EQ(o.legs[1].intent, Intent::Closing);
  // A ticket closes when every leg does, whatever its root's stock says.
  EXPECT_EQ(o.intent, Intent::Opening);
  o.intent = Intent::Closing;
  derive_leg_reduces(o, {held("SPY", "100")});
  EXPECT_EQ(o.intent, Intent::Opening);
  derive_leg_reduces(o, {held("SPY250117C00505000", "4"), held("SPY250117C00500000", "-2")});
  EXPECT_EQ(o.intent, Intent::Closing);

  auto padded = option({leg("SPY   250117C00505000", Side::Sell)});
  derive_leg_reduces(padded, {held("SPY250117C00505000", "5")});
  EXPECT_EQ(padded.legs[0].intent, Intent::Opening);

  // Equity legs trade their own quantities; a zero quantity never closes.
  auto pair = Order::propose("AAPL", AssetClass::Equity, Side::Sell, Intent::Opening, 1);
  pair.legs = {leg("AAPL", Side::Sell, 5), leg("AAPL", Side::Sell, 0)};
  derive_leg_reduces(pair, {held("AAPL", "5")});
  EXPECT_EQ(pair.legs[0].intent, Intent::Closing);
  EXPECT_EQ(pair.legs[1].intent, Intent::Opening);
  EXPECT_EQ(pair.intent, Intent::Opening);  // the order's own intent is left alone
}

struct CoverCase {
  const char* name;
  std::vector<Leg> legs;
  std::vector<Position> positions;
  std::vector<bool> covered;
};

TEST(LegFacts, Cover) {
  const char* c500 = "SPY250117C00500000";
  const char* c505 = "SPY250117C00505000";
  const char* c505_feb = "SPY250221C00505000";
  const char* p450 = "SPY250117P00450000";
  const CoverCase cases[] = {
      {"vertical", {leg(c500, Side::Sell), leg(c505, Side::Buy)}, {}, {true, true}},
      {"calendar", {leg(c500, Side::Sell), leg(c505_feb, Side::Buy)}, {}, {false, true}},
      {"calendar on stock",
       {leg(c500, Side::Sell), leg(c505_feb, Side::Buy)},
       {held("SPY", "100")},
       {true, true}},
      {"call on 100 shares", {leg(c500, Side::Sell)}, {held("spy", "100")}, {true}},
      {"call on 99 shares", {leg(c500, Side::Sell)}, {held("SPY", "99")}, {false}},
      {"call on shares an order holds",
       {leg(c500, Side::Sell)},
       {Position{"SPY", "", "100", "", "", "0"}},
       {false}},
      {"put on long stock", {leg(p450, Side::Sell)}, {held("SPY", "100")}, {false}},
      {"put on short stock", {leg(p450, Side::Sell)}, {held("SPY", "-100")}, {true}},
      {"half a contract", {leg(c500, Side::Sell, 0.5)}, {held("SPY", "99")}, {false}},
      {"two contracts", {leg(c500, Side::Sell, 2)}, {held("SPY", "100")}, {false}},
      {"ratio 2 against 2",
       {leg(c500, Side::Sell), leg(c505, Side::Sell), leg(c505, Side::Buy, 1, 2)},
       {},
       {true, true, true}},
      // Each bought unit and each 100 shares cover one sold unit, once across the ticket.
      {"2 against 1",
       {leg(c500, Side::Sell), leg(c505, Side::Sell), leg(c505, Side::Buy)},
       {},
       {true, false, true}},
      {"two calls on 100 shares",
       {leg(c500, Side::Sell), leg(c505, Side::Sell)},
       {held("SPY", "100")},
       {true, false}},
      {"two calls on 200 shares",
       {leg(c500, Side::Sell), leg(c505, Side::Sell)},
       {held("SPY", "200")},
       {true, true}},
      {"a long and stock together",
       {leg(c500, Side::Sell, 2), leg(c505, Side::Buy, 2, 1), leg(c505, Side::Sell, 2)},
       {held("SPY", "200")},
       {true, true, true}},
      {"put and call",
       {leg(c500, Side::Sell), leg("SPY250117P00505000", Side::Buy)},
       {},
       {false, true}},
      {"closing sale", {leg(c500, Side::Sell)}, {held(c500, "1")}, {true}},
      {"buy back is no cover",
       {leg(c500, Side::Sell), leg(c505, Side::Buy)},
       {held(c505, "-1")},
       {false, true}},
      {"not an option", {leg("AAPL", Side::Sell)}, {held("AAPL", "-1000")}, {false}},
  };
  for (const auto& c : cases) {
    auto o = option(c.legs);
    derive_leg_facts(o, c.positions);
    std::vector<bool> got;
    for (const Leg& l : o.legs)
      got.push_back(l.covered);
    EXPECT_EQ(got, c.covered) << c.name;
  }
}

TEST(LegFacts, CoverLeavesAnUnreadableSaleAsItWas) {
  auto o = option({leg("NOT AN OCC", Side::Sell)});
  o.legs[0].covered = true;
  derive_leg_covered(o, {});
  EXPECT_TRUE(o.legs[0].covered);
}

TEST(LegFacts, MaxLossFromTheLegs) {
  const char* c500 = "SPY250117C00500000";
  const char* c505 = "SPY250117C00505000";
  const char* c510 = "SPY250117C00510000";
  const char* p490 = "SPY250117P00490000";
  const char* p400 = "SPY250117P00400000";
  const char* c600 = "SPY250117C00600000";
  struct Case {
    const char* name;
    std::vector<Leg> legs;
    double net;  // what a unit pays; a credit negative
    std::optional<double> loss;
    bool bounded = true;
  };
  const Case cases[] = {
      {"credit vertical", {leg(c500, Side::Sell, 2), leg(c505, Side::Buy)}, -1.20, 760},
      {"credit over width", {leg(c500, Side::Sell, 2), leg(c505, Side::Buy)}, -6, 0},
      {"debit vertical", {leg(c500, Side::Buy, 2), leg(c505, Side::Sell)}, 1.5, 300},
      {"credit vertical at a debit", {leg(c500, Side::Sell), leg(c510, Side::Buy)}, 0.01, 1001},
      // Five spreads sent as one: each leg trades 1 x 5.
      {"ratio 5:5", {leg(c500, Side::Sell, 1, 5), leg(c510, Side::Buy, 1, 5)}, -2.5, 4750},
      {"two long calls", {leg(c500, Side::Buy, 10), leg(c505, Side::Buy, 10)}, 39.9, 39900},
      {"iron condor",
       {leg(p490, Side::Sell), leg(p400, Side::Buy), leg(c510, Side::Sell), leg(c600, Side::Buy)},
       -1,
       8900},
      {"butterfly",
       {leg(c500, Side::Buy), leg(c505, Side::Sell, 1, 2), leg(c510, Side::Buy)},
       1.2,
       120},
      // Calls sold uncovered: no bound, only the least it loses.
      {"naked ratio", {leg(c500, Side::Buy), leg(c505, Side::Sell, 1, 2)}, 0, 0, false},
      {"two short calls", {leg(c500, Side::Sell), leg(c505, Side::Sell)}, -3, 200, false},
      {"short strangle", {leg(p490, Side::Sell), leg(c510, Side::Sell)}, -1, 48900, false},
      {"calendar", {leg(c500, Side::Sell), leg("SPY250221C00500000", Side::Buy)}, 1, std::nullopt},
      {"other root",
       {leg(c500, Side::Sell), leg("QQQ250117C00505000", Side::Buy)},
       0,
       std::nullopt},
      {"zero qty", {leg(c500, Side::Sell, 0), leg(c505, Side::Buy)}, 0, std::nullopt},
      {"not OCC", {leg("SPY", Side::Sell), leg(c505, Side::Buy)}, 0, std::nullopt},
      {"one leg", {leg(c500, Side::Buy)}, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    auto loss = derive_max_loss(option(c.legs), c.net);
    ASSERT_EQ(loss.has_value(), c.loss.has_value()) << c.name;
    if (loss) {
      EXPECT_NEAR(loss->loss, *c.loss, 1e-6) << c.name;
      EXPECT_EQ(loss->bounded, c.bounded) << c.name;
    }
  }
  auto equity = option({leg(c500, Side::Sell), leg(c505, Side::Buy)});
  equity.asset_class = AssetClass::Equity;
  EXPECT_EQ(derive_max_loss(equity, 0), std::nullopt);
  // The root every leg names; none where a leg names another or none.
  EXPECT_EQ(ticket_root(option({leg(c500, Side::Buy), leg("spy250221p00400000", Side::Sell)})),
            "SPY");
  EXPECT_EQ(ticket_root(option({leg(c500, Side::Buy), leg("QQQ250117C00505000", Side::Sell)})),
            std::nullopt);
}

}  // namespace
}  // namespace vavev_aziz::alpaca
