// Orders on the wire: the exact order bodies, the two refusals before any request, the
// broker's acknowledgement and the statuses of submitted orders.
#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_write.hpp"

namespace vavev_aziz::alpaca {
namespace {

using tovra::testing::BrokerSandbox;
using tovra::testing::Reply;

Order order(AssetClass c, Side side, double notional, std::string symbol = "AAPL") {
  auto o = Order::propose(std::move(symbol), c, side, Intent::Opening, notional);
  o.client_order_id = "tovra-1";
  return o;
}

Leg leg(std::string symbol, double qty, std::uint32_t ratio, Side side,
        Intent intent = Intent::Opening) {
  return Leg{std::move(symbol), qty, ratio, side, false, intent};
}

TEST(OrderPayload, SingleLegForms) {
  auto equity = order(AssetClass::Equity, Side::Buy, 1500);
  EXPECT_EQ(json::compact(order_payload(equity)),
            R"({"symbol":"AAPL","side":"buy","type":"market","time_in_force":"day",)"
            R"("client_order_id":"tovra-1","notional":"1500"})");
  equity.notional = 0x1p60;  // the shortest digits that read back, not the binary expansion
  EXPECT_EQ(order_payload(equity)["notional"], "1152921504606847000");

  auto crypto = order(AssetClass::Crypto, Side::Sell, 0.0001, "BTC/USD");
  crypto.limit_price = 1e21;
  EXPECT_EQ(json::compact(order_payload(crypto)),
            R"({"symbol":"BTC/USD","side":"sell","type":"limit","time_in_force":"gtc",)"
            R"("client_order_id":"tovra-1","notional":"0.0001",)"
            R"("limit_price":"1000000000000000000000"})");

  // One leg: the order's own symbol and side with the leg's quantity.
  auto single = order(AssetClass::Option, Side::Sell, 250, "SPY");
  single.legs = {leg("SPY250117C00500000", 2.5, 1, Side::Buy)};
  single.limit_price = -1.25;
  EXPECT_EQ(json::compact(order_payload(single)),
            R"({"symbol":"SPY","side":"sell","type":"limit","time_in_force":"day",)"
            R"("client_order_id":"tovra-1","qty":"2.5","limit_price":"-1.25"})");

  single.legs[0].qty = 0;
  EXPECT_EQ(order_payload(single)["notional"], "250");
  EXPECT_FALSE(order_payload(single).contains("qty"));
}

TEST(OrderPayload, MultiLegForm) {
  auto spread = order(AssetClass::Option, Side::Sell, 230, "SPY");
  spread.legs = {leg("SPY250117C00500000", 3, 1, Side::Sell, Intent::Closing),
                 leg("SPY250117C00505000", 7, 2, Side::Buy)};
  spread.limit_price = -1.15;
  EXPECT_EQ(json::compact(order_payload(spread)),
            R"({"order_class":"mleg","qty":"3","type":"limit","time_in_force":"day",)"
            R"("client_order_id":"tovra-1","legs":[)"
            R"({"symbol":"SPY250117C00500000","side":"sell","ratio_qty":1,)"
            R"("position_intent":"sell_to_close"},)"
            R"({"symbol":"SPY250117C00505000","side":"buy","ratio_qty":2,)"
            R"("position_intent":"buy_to_open"}],"limit_price":"-1.15"})");

  spread.limit_price.reset();
  spread.legs[0].side = Side::Buy;
  spread.legs[1].side = Side::Sell;
  spread.legs[1].intent = Intent::Closing;
  auto body = order_payload(spread);
  EXPECT_EQ(body["type"], "market");
  EXPECT_EQ(body["legs"][0]["position_intent"], "buy_to_close");
  EXPECT_EQ(body["legs"][1]["position_intent"], "sell_to_close");
  EXPECT_FALSE(body.contains("limit_price"));
}

class Orders : public BrokerSandbox {};

TEST_F(Orders, RefusedBeforeTheWire) {
  auto c = client();
  auto pair = order(AssetClass::Equity, Side::Buy, 100);
  pair.legs = {leg("AAPL", 1, 1, Side::Buy), leg("MSFT", 1, 1, Side::Sell)};
  auto multi = c.place_order(pair, pair.client_order_id);
  ASSERT_FALSE(multi);
  EXPECT_EQ(multi.error().display(),
            "refused before the wire: a equity order with 2 legs has no wire form — only options "
            "ship as multi-leg tickets, and sending the first leg alone would be a different "
            "order than the one that was judged");
  EXPECT_TRUE(multi.error().is_definitive_refusal());

  auto one = order(AssetClass::Equity, Side::Buy, 100);
  auto other = c.place_order(one, "tovra-2");
  EXPECT_EQ(other.error().display(),
            "refused before the wire: the approval is for tovra-2 but this order is tovra-1 — an "
            "approval authorises ONE order");
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(Orders, PlacedOrderIsSentAsApproved) {
  auto spread = order(AssetClass::Option, Side::Buy, 300, "SPY");
  spread.legs = {leg("SPY250117C00500000", 1, 1, Side::Buy),
                 leg("SPY250117C00505000", 1, 1, Side::Sell)};
  auto placed = client().place_order(spread, "tovra-1");
  ASSERT_TRUE(placed) << placed.error().display();
  EXPECT_EQ(placed->client_order_id, "tovra-1");
  EXPECT_EQ(placed->status, "accepted");
  EXPECT_FALSE(placed->id.empty());

  const auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v2/orders");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("APCA-API-KEY-ID"), "AKTESTKEY");
  EXPECT_EQ(requests[0].body, json::compact(order_payload(spread)));
}

TEST_F(Orders, AcknowledgementDefaultsAndFailures) {
  auto o = order(AssetClass::Equity, Side::Buy, 100);
  struct Case {
    Reply reply;
    std::string expected;  // the Placed fields joined by "|", or the error's display text
  };
  const Case cases[] = {
      {Reply(200, "{}"), "|tovra-1|unknown"},
      {Reply(200, R"({"id":42,"client_order_id":null,"status":"new"})"), "|tovra-1|new"},
      {Reply(200, R"(["x"])"), "|tovra-1|unknown"},
      {Reply(200, R"({"id":"b1","client_order_id":"c9","status":"accepted"})"), "b1|c9|accepted"},
      {Reply(200, "accepted"),
       "alpaca response was not the shape we expected: syntax error while parsing value - "
       "invalid literal; last read: 'a' at line 1 column 1"},
      {Reply(422, std::string(1000, 'q')), "alpaca 422: " + std::string(400, 'q')},
  };
  for (const auto& c : cases) {
    broker.reply("POST", "/v2/orders", c.reply);
    auto placed = client().place_order(o, "tovra-1");
    const std::string got = placed
                                ? placed->id + "|" + placed->client_order_id + "|" + placed->status
                                : placed.error().display();
    EXPECT_EQ(got, c.expected) << c.reply.body.substr(0, 60);
  }
}

TEST_F(Orders, StatusesOfTheOrdersAskedAbout) {
  broker.reply(
      "GET", "/v2/orders",
      Reply(200, R"([{"client_order_id":"b","status":"filled","qty":null,"filled_qty":"5",)"
                 R"("filled_avg_price":"101.5"},)"
                 R"({"client_order_id":"x","status":"new"},{"id":"no-client-id"},)"
                 R"({"client_order_id":7},)"
                 R"({"client_order_id":"a","qty":"10","filled_qty":3,"filled_avg_price":null,)"
                 R"("legs":[{"client_order_id":"c","status":"filled"}]}])"));
  auto c = client();
  auto statuses = c.orders_by_client_ids({"a", "b", "c"});
  ASSERT_TRUE(statuses) << statuses.error().display();
  ASSERT_EQ(statuses->size(), 2u);
  const BrokerStatus& b = (*statuses)[0];
  EXPECT_EQ(b.client_order_id, "b");
  EXPECT_EQ(b.status, "filled");
  EXPECT_EQ(b.qty, 5);
  EXPECT_EQ(b.filled_qty, 5);
  EXPECT_EQ(b.avg_price, 101.5);
  EXPECT_FALSE(b.actual_credit);
  const BrokerStatus& a = (*statuses)[1];
  EXPECT_EQ(a.status, "unknown");
  EXPECT_EQ(a.qty, 10);
  EXPECT_EQ(a.filled_qty, 0);  // a JSON number is not the broker's decimal text
  EXPECT_FALSE(a.avg_price);

  auto none = c.orders_by_client_ids({});
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  for (const auto& r : broker.requests())
    EXPECT_EQ(r.target, "/v2/orders?status=all&limit=500&nested=true");
  EXPECT_EQ(broker.requests().size(), 2u);

  broker.reply("GET", "/v2/orders", Reply(200, R"({"orders":[]})"));
  auto object = c.orders_by_client_ids({"a"});
  ASSERT_TRUE(object.error().as_decode());
  EXPECT_NE(object.error().display().find("expected a sequence of orders"), std::string::npos);
}

TEST_F(Orders, RoundTripThroughTheFakeBroker) {
  auto c = client();
  auto o = order(AssetClass::Equity, Side::Buy, 100);
  ASSERT_TRUE(c.place_order(o, "tovra-1"));
  broker.set_order_status("tovra-1", "partially_filled", "0.4", "187.25");
  auto statuses = c.orders_by_client_ids({"tovra-1"});
  ASSERT_TRUE(statuses);
  ASSERT_EQ(statuses->size(), 1u);
  EXPECT_EQ(statuses->front().status, "partially_filled");
  EXPECT_EQ(statuses->front().filled_qty, 0.4);
  EXPECT_EQ(statuses->front().qty, 0.4);  // a notional order has no "qty"
  EXPECT_EQ(statuses->front().avg_price, 187.25);
}

}  // namespace
}  // namespace vavev_aziz::alpaca
