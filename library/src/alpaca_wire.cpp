// What the broker receives for an order, and whether that bears out the order as judged. The
// broker reads an instrument's class from its symbol: an option contract (OCC form) is an
// option, a pair is crypto, anything else a stock. A multi-leg ticket sends no symbol of its
// own, only its legs', so the order's symbol, which the rules and the denial memory judge, says
// something true only when every leg is a contract on it.
#include <fmt/format.h>

#include "alpaca_internal.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::alpaca {
namespace {

std::optional<std::string> single_disagrees(const Order& order) {
  const std::string& s = order.symbol;
  switch (order.asset_class) {
    case AssetClass::Option:
      if (parse_occ(s)) return std::nullopt;
      return fmt::format(
          "the order is described as an option, but {} is not an option contract: the broker "
          "would trade it as a stock",
          s);
    case AssetClass::Crypto:
      if (is_crypto_pair(s)) return std::nullopt;
      return fmt::format(
          "the order is described as crypto, but {} is not a crypto pair: the broker would not "
          "trade it as crypto",
          s);
    case AssetClass::Equity:
      // The broker takes a pair written without its "/" (BTCUSD) as crypto too.
      if (s.find('/') == std::string::npos && !is_crypto_pair(s)) return std::nullopt;
      return fmt::format(
          "the order is described as a stock, but {} reads as a crypto pair: the broker may "
          "trade it as crypto",
          s);
  }
  return std::nullopt;
}

std::optional<std::string> legs_disagree(const Order& order) {
  const std::string underlying = underlying_of(order.symbol);
  for (const Leg& leg : order.legs) {
    const auto occ = parse_occ(leg.symbol);
    if (occ && occ->root == underlying) continue;
    return fmt::format(
        "the leg {} is not an option contract on {}, the underlying that the rules and the "
        "denial memory judge",
        leg.symbol, underlying);
  }
  return std::nullopt;
}

}  // namespace

Wire wire_form(const Order& order) {
  Wire w;
  const double first = order.legs.empty() ? 0.0 : order.legs.front().qty;
  if (is_multi_leg(order)) {
    w.form = Wire::Form::MultiLeg;
    w.qty = first;
  } else {
    w.form = order.legs.size() >= 2 ? Wire::Form::None : Wire::Form::Single;
    w.symbol = order.symbol;
    w.side = order.side;
    w.qty = first > 0 ? first : 0.0;
  }
  w.leg_units.reserve(order.legs.size());
  for (const Leg& leg : order.legs)
    w.leg_units.push_back(w.form == Wire::Form::MultiLeg ? first * leg.ratio_qty : leg.qty);
  return w;
}

std::optional<std::string> wire_disagrees(const Order& order, Agreement agreement) {
  if (order.asset_class != AssetClass::Option && parse_occ(order.symbol))
    return fmt::format("{} is an option contract, so the broker trades it as an option, not as {}",
                       order.symbol, word(order.asset_class));
  if (agreement == Agreement::Class) return std::nullopt;
  switch (wire_form(order).form) {
    case Wire::Form::Single:
      return single_disagrees(order);
    case Wire::Form::MultiLeg:
      return legs_disagree(order);
    case Wire::Form::None:
      break;  // never sent: the client refuses it before any request
  }
  return std::nullopt;
}

bool is_crypto_pair(std::string_view symbol) {
  return crypto_pair(symbol).has_value();
}

std::string underlying_of(std::string_view symbol) {
  if (auto occ = parse_occ(symbol)) return std::move(occ->root);
  return text::ascii_upper(symbol);
}

}  // namespace vavev_aziz::alpaca
