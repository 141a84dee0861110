// New orders and the broker's view of submitted ones.
//
// The order body is a JSON object sent compact, keys in this order. Single-leg form:
//   {"symbol","side","type","time_in_force","client_order_id","qty"|"notional"[,"limit_price"]}
// Multi-leg form, for an option order with two or more legs:
//   {"order_class":"mleg","qty","type","time_in_force":"day","client_order_id",
//    "legs":[{"symbol","side","ratio_qty","position_intent"}...][,"limit_price"]}
// Money and quantities are strings holding the shortest plain decimal text (never an
// exponent); only "ratio_qty" is a JSON number.
#include <fmt/format.h>

#include "alpaca_internal.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz::alpaca {
namespace {

using json::Json;

std::string_view position_intent(Side side, Intent intent) {
  if (side == Side::Buy) return intent == Intent::Opening ? "buy_to_open" : "buy_to_close";
  return intent == Intent::Opening ? "sell_to_open" : "sell_to_close";
}

std::string_view order_type(const Order& order) {
  return order.limit_price ? "limit" : "market";
}

// A string member that reads as a decimal number; numbers sent as JSON numbers do not count.
std::optional<double> number_text_at(const Json& object, const char* key) {
  auto t = text_at(object, key);
  if (!t) return std::nullopt;
  return numbers::parse_decimal(*t);
}

BrokerStatus status_of(const Json& element, std::string client_order_id) {
  BrokerStatus s;
  s.client_order_id = std::move(client_order_id);
  s.status = text_at(element, "status").value_or("unknown");
  const auto filled = number_text_at(element, "filled_qty");
  s.filled_qty = filled.value_or(0.0);
  s.qty = number_text_at(element, "qty").value_or(filled.value_or(0.0));
  s.avg_price = number_text_at(element, "filled_avg_price");
  return s;
}

}  // namespace

Json order_payload(const Order& order) {
  const Wire wire = wire_form(order);
  Json body = Json::object();
  if (wire.form == Wire::Form::MultiLeg) {
    body["order_class"] = "mleg";
    body["qty"] = numbers::shortest(wire.qty);
    body["type"] = order_type(order);
    body["time_in_force"] = "day";
    body["client_order_id"] = order.client_order_id;
    Json legs = Json::array();
    for (const Leg& leg : order.legs) {
      Json l = Json::object();
      l["symbol"] = leg.symbol;
      l["side"] = word(leg.side);
      l["ratio_qty"] = leg.ratio_qty;
      l["position_intent"] = position_intent(leg.side, leg.intent);
      legs.push_back(std::move(l));
    }
    body["legs"] = std::move(legs);
  } else {
    body["symbol"] = wire.symbol;
    body["side"] = word(wire.side);
    body["type"] = order_type(order);
    body["time_in_force"] = order.asset_class == AssetClass::Crypto ? "gtc" : "day";
    body["client_order_id"] = order.client_order_id;
    if (wire.qty > 0)
      body["qty"] = numbers::shortest(wire.qty);
    else
      body["notional"] = numbers::shortest(order.notional);
  }
  if (order.limit_price) body["limit_price"] = numbers::shortest(*order.limit_price);
  return body;
}

Result<Placed, AlpacaError> Client::place_order(const Order& order,
                                                const std::string& approved_client_order_id) const {
  if (wire_form(order).form == Wire::Form::None)
    return Err{AlpacaError::refused(fmt::format(
        "a {} order with {} legs has no wire form — only options ship as multi-leg tickets, and "
        "sending the first leg alone would be a different order than the one that was judged",
        word(order.asset_class), order.legs.size()))};
  if (approved_client_order_id != order.client_order_id)
    return Err{AlpacaError::refused(
        fmt::format("the approval is for {} but this order is {} — an approval authorises ONE "
                    "order",
                    approved_client_order_id, order.client_order_id))};

  const std::string body = json::compact(order_payload(order));
  const std::string url = base_url_ + "/v2/orders";
  auto parsed = fetch_json({http::Method::Post, url, key_id_, secret_key_, body}, kErrorChars);
  if (!parsed) return Err{std::move(parsed).error()};
  return Placed{text_at(*parsed, "id").value_or(""),
                text_at(*parsed, "client_order_id").value_or(order.client_order_id),
                text_at(*parsed, "status").value_or("unknown")};
}

Result<std::vector<BrokerStatus>, AlpacaError> Client::orders_by_client_ids(
    const std::vector<std::string>& ids) const {
  auto reply = get("/v2/orders?status=all&limit=500&nested=true");
  if (!reply) return Err{std::move(reply).error()};
  auto parsed = parse_answer(*reply);
  if (!parsed) return Err{std::move(parsed).error()};
  if (!parsed->is_array())
    return Err{AlpacaError::decode(json::Reader(*reply).unexpected("a sequence of orders"))};

  std::vector<BrokerStatus> statuses;
  for (const Json& element : *parsed) {
    auto id = text_at(element, "client_order_id");
    if (!id) continue;
    for (const std::string& wanted : ids) {
      if (wanted == *id) {
        statuses.push_back(status_of(element, std::move(*id)));
        break;
      }
    }
  }
  return statuses;
}

}  // namespace vavev_aziz::alpaca
