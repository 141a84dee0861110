// The order model: word parsers, the risk test, the summary line and client order ids.
#include <set>

#include <gtest/gtest.h>

#include "vavev_aziz/order.hpp"

namespace vavev_aziz {
namespace {

Leg leg(Side side, Intent intent, bool covered = false) {
  Leg l;
  l.symbol = "SPY250117C00500000";
  l.qty = 1;
  l.side = side;
  l.intent = intent;
  l.covered = covered;
  return l;
}

TEST(Order, WordParsers) {
  for (const char* w : {"BUY", "Buy", "buy"})
    EXPECT_EQ(parse_side(w), Side::Buy) << w;
  EXPECT_EQ(parse_side("sell"), Side::Sell);
  for (const char* w : {" buy", "b", ""})
    EXPECT_FALSE(parse_side(w)) << w;
  for (const char* w : {"STOCK", "US_EQUITY", "equity"})
    EXPECT_EQ(parse_asset_class(w), AssetClass::Equity) << w;
  EXPECT_EQ(parse_asset_class("Options"), AssetClass::Option);
  EXPECT_EQ(parse_asset_class("crypto"), AssetClass::Crypto);
  for (const char* w : {"crypto ", "", "opt"})
    EXPECT_FALSE(parse_asset_class(w)) << w;
}

TEST(Order, ReducesRiskLooksAtLegsWhenThereAreAny) {
  auto o = Order::propose("SPY", AssetClass::Option, Side::Sell, Intent::Closing, 100);
  EXPECT_TRUE(o.reduces_risk());
  o.intent = Intent::Opening;
  EXPECT_FALSE(o.reduces_risk());
  o.intent = Intent::Closing;
  o.legs = {leg(Side::Sell, Intent::Closing), leg(Side::Buy, Intent::Opening)};
  EXPECT_FALSE(o.reduces_risk());
  o.intent = Intent::Opening;
  o.legs[1].intent = Intent::Closing;
  EXPECT_TRUE(o.reduces_risk());
}

TEST(Order, Summary) {
  auto o = Order::propose("AAPL", AssetClass::Equity, Side::Buy, Intent::Opening, 1500);
  EXPECT_EQ(o.summary(), "BUY equity AAPL $1500.00 (opening)");
  o.notional = 1234.5;
  o.legs = {leg(Side::Sell, Intent::Opening)};
  EXPECT_EQ(o.summary(), "BUY equity AAPL $1234.50 (opening)");  // equity: never NAKED

  auto s = Order::propose("SPY", AssetClass::Option, Side::Sell, Intent::Opening, 250);
  s.legs = {leg(Side::Sell, Intent::Opening)};
  EXPECT_EQ(s.summary(), "SELL option SPY $250.00 NAKED SHORT (opening)");
  s.legs.push_back(leg(Side::Buy, Intent::Opening));
  EXPECT_EQ(s.summary(), "SELL 2-leg option SPY $250.00 NAKED SHORT (opening)");
  s.legs[0].covered = true;
  s.notional = -2000;
  s.intent = Intent::Closing;
  EXPECT_EQ(s.summary(), "SELL 2-leg option SPY $-2000.00 (closing)");
}

TEST(Order, ClientOrderIds) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    auto id = new_client_order_id();
    ASSERT_EQ(id.size(), 42u);
    ASSERT_EQ(id.rfind("tovra-", 0), 0u);
    EXPECT_EQ(id[20], '4');                                          // version nibble
    EXPECT_NE(std::string("89ab").find(id[25]), std::string::npos);  // RFC 4122 variant
    EXPECT_TRUE(seen.insert(id).second);
  }
  const unsigned char zeros[16] = {};
  EXPECT_EQ(uuid_v4(zeros), "00000000-0000-4000-8000-000000000000");
}

}  // namespace
}  // namespace vavev_aziz
