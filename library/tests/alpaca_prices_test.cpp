// Latest prices from the market-data API: request paths, the option snapshot and its fallback
// with the NOTE line, answer shapes, error bodies and the underlying's price.
#include <sstream>

#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz::alpaca {
namespace {

using tovra::testing::BrokerSandbox;
using tovra::testing::FakeBroker;
using tovra::testing::Reply;

constexpr const char* kCall = "SPY250117C00500000";

std::optional<double> mid(const char* answer) {
  return mid_from_snapshot(json::parse_value(answer).value());
}

TEST(Snapshot, MidOrLastTrade) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {R"({"snapshots":{"S":{"latestQuote":{"bp":1.0,"ap":1.2},"latestTrade":{"p":9}}}})", 1.1},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":1.2,"ap":1.0},"latestTrade":{"p":9}}}})", 9},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":0,"ap":0.05},"latestTrade":{"p":9}}}})", 9},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":2,"ap":2}}}})", 2},
      {R"({"snapshots":{"S":{"latestQuote":{"ap":2},"latestTrade":{"p":-1}}}})", -1},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":1,"ap":"2"},"latestTrade":{"p":3}}}})", 3},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":1,"ap":2}},"T":{"latestTrade":{"p":7}}}})", 1.5},
      {R"({"snapshots":{"T":{"latestTrade":{"p":7}},"S":{"latestQuote":{"bp":1,"ap":2}}}})", 7},
      {R"({"snapshots":{"S":{"latestQuote":{"bp":1},"latestTrade":{"p":"3"}}}})", std::nullopt},
      {R"({"snapshots":{}})", std::nullopt},
      {R"({"snapshots":[1]})", std::nullopt},
      {R"({"snapshots":{"S":null}})", std::nullopt},
      {R"([])", std::nullopt},
  };
  for (const auto& [answer, expected] : cases)
    EXPECT_EQ(mid(answer), expected) << answer;
}

class Prices : public BrokerSandbox {
 protected:
  void SetUp() override {
    BrokerSandbox::SetUp();
    env.set("ALPACA_DATA_URL", data.url());
  }
  Result<double, AlpacaError> price(std::string_view symbol, AssetClass c) {
    return client().last_price(symbol, c, err);
  }
  std::vector<std::string> targets() const {
    std::vector<std::string> t;
    for (const auto& r : data.requests())
      t.push_back(r.target);
    return t;
  }

  FakeBroker data;  // market data on its own server: prices never go to the trading address
  std::ostringstream err;
};

TEST_F(Prices, StockPathEncodesEverySlash) {
  data.set_trade("BRK/B/X", 412.5);
  auto p = price("BRK/B/X", AssetClass::Equity);
  ASSERT_TRUE(p) << p.error().display();
  EXPECT_EQ(*p, 412.5);
  EXPECT_EQ(targets(), (std::vector<std::string>{"/v2/stocks/BRK%2FB%2FX/trades/latest"}));
  EXPECT_EQ(data.requests()[0].header("APCA-API-KEY-ID"), "AKTESTKEY");
  EXPECT_EQ(data.requests()[0].header("APCA-API-SECRET-KEY"), "test-secret");
  EXPECT_TRUE(broker.requests().empty());
  EXPECT_EQ(err.str(), "");
}

TEST_F(Prices, CryptoPairs) {
  const std::pair<const char*, const char*> cases[] = {
      {"BTC/USD", "BTC%2FUSD"}, {"BTCUSD", "BTC%2FUSD"},   {"BTCUSDT", "BTC%2FUSDT"},
      {"ETHBTC", "ETH%2FBTC"},  {"USDCUSD", "USDC%2FUSD"}, {"USDT", "USDT"},
      {"USD", "USD"},           {"btcusd", "BTC%2FUSD"},   {"DOGE", "DOGE"},
  };
  for (const auto& [symbol, sent] : cases)
    (void)price(symbol, AssetClass::Crypto);
  const auto got = targets();
  ASSERT_EQ(got.size(), std::size(cases));
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i], std::string("/v1beta3/crypto/us/latest/trades?symbols=") + cases[i].second);
}

TEST_F(Prices, OptionAtTheSnapshotMid) {
  data.set_quote(kCall, 1.00, 1.20);
  auto p = price(kCall, AssetClass::Option);
  ASSERT_TRUE(p) << p.error().display();
  EXPECT_DOUBLE_EQ(*p, 1.1);
  EXPECT_EQ(targets(),
            (std::vector<std::string>{std::string("/v1beta1/options/snapshots?symbols=") + kCall +
                                      "&feed=indicative"}));
  EXPECT_EQ(err.str(), "");
}

TEST_F(Prices, OptionFallsBackToTheLastTradeWithANote) {
  auto none = price(kCall, AssetClass::Option);
  ASSERT_FALSE(none);
  EXPECT_EQ(
      none.error().display(),
      std::string("alpaca response was not the shape we expected: no last price for ") + kCall);
  EXPECT_EQ(err.str(), std::string("tovra trade: NOTE: no snapshot mid for ") + kCall +
                           " (alpaca response was not the shape we expected: no quote and no "
                           "trade for " +
                           kCall +
                           "); pricing off the last trade, which may predate this session.\n");
  EXPECT_EQ(targets().back(), std::string("/v1beta1/options/trades/latest?symbols=") + kCall);

  err.str("");
  data.reply("GET", "/v1beta1/options/snapshots", Reply(404, std::string(1000, 'n')));
  data.reply("GET", "/v1beta1/options/trades/latest",
             Reply(200, R"({"trades":{"SPY250117C00500000":{"p":187}}})"));
  auto fallback = price(kCall, AssetClass::Option);
  ASSERT_TRUE(fallback) << fallback.error().display();
  EXPECT_EQ(*fallback, 187);
  EXPECT_NE(err.str().find("(alpaca 404: " + std::string(400, 'n') + ");"), std::string::npos);
  EXPECT_EQ(err.str().find(std::string(401, 'n')), std::string::npos);
}

TEST_F(Prices, AnswerShapesAndErrors) {
  struct Case {
    Reply reply;
    std::string expected;  // the price, or the error's display text
  };
  const Case cases[] = {
      {Reply(200, R"({"symbol":"X","trade":{"p":187}})"), "187"},
      {Reply(200, R"({"trade":{"p":"187"}})"),
       "alpaca response was not the shape we expected: no last price for X/Y"},
      {Reply(200, R"({"trades":{"A":{"p":1.5},"B":{"p":2.5}}})"), "1.5"},
      {Reply(200, R"({"trade":{"x":1},"trades":{"A":{"p":3}}})"), "3"},
      {Reply(200, R"({"trades":{}})"),
       "alpaca response was not the shape we expected: no last price for X/Y"},
      {Reply(500, std::string(1000, 'e')), "alpaca 500: " + std::string(200, 'e')},
      {Reply(200, "{"),
       "alpaca response was not the shape we expected: "
       "syntax error while parsing object key - unexpected end of input; "
       "expected string literal at line 1 column 1"},
  };
  for (const auto& c : cases) {
    data.reply("GET", "/v2/stocks/X/Y/trades/latest", c.reply);
    auto p = price("X/Y", AssetClass::Equity);
    EXPECT_EQ(p ? numbers::shortest(*p) : p.error().display(), c.expected) << c.reply.body;
  }
}

TEST_F(Prices, UnderlyingPrice) {
  data.set_trade("SPY", 590.25);
  EXPECT_EQ(underlying_price_for(client(), "spy250117c00500000", AssetClass::Option), 590.25);
  EXPECT_EQ(targets().back(), "/v2/stocks/SPY/trades/latest");
  EXPECT_EQ(underlying_price_for(client(), "SPY", AssetClass::Equity), 590.25);
  const auto before = data.requests().size();
  EXPECT_EQ(underlying_price_for(client(), "BRK.B250620C00400000", AssetClass::Option),
            std::nullopt);
  EXPECT_EQ(data.requests().size(), before);
  EXPECT_EQ(underlying_price_for(client(), "QQQ", AssetClass::Equity), std::nullopt);  // 404
  data.set_trade("ETH/USD", 3100);
  EXPECT_EQ(underlying_price_for(client(), "ETHUSD", AssetClass::Crypto), 3100);
}

}  // namespace
}  // namespace vavev_aziz::alpaca
