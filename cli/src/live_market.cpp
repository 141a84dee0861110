#include "live_market.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "vavev_aziz/support/numbers.hpp"

namespace trade {

namespace alpaca = vavev_aziz::alpaca;
namespace numbers = vavev_aziz::numbers;
using vavev_aziz::Err;
using vavev_aziz::Verdict;

double contract_multiplier(vavev_aziz::AssetClass asset_class) {
  return asset_class == vavev_aziz::AssetClass::Option ? 100.0 : 1.0;
}

vavev_aziz::Result<double, alpaca::AlpacaError> latest_price(std::string_view symbol,
                                                             vavev_aziz::AssetClass asset_class,
                                                             std::ostream& err) {
  auto client = alpaca::Client::from_environment();
  if (!client) return Err{std::move(client).error()};
  auto price = client->last_price(symbol, asset_class, err);
  if (price && !usable_price(*price))
    return Err{alpaca::AlpacaError::decode(
        fmt::format("the price {} for {} is not a price", numbers::shortest(*price), symbol))};
  return price;
}

vavev_aziz::Result<double, UnpricedLeg> net_debit(const vavev_aziz::Order& order,
                                                  std::ostream& err) {
  double net = 0;
  for (const vavev_aziz::Leg& leg : order.legs) {
    auto price = latest_price(leg.symbol, vavev_aziz::AssetClass::Option, err);
    if (!price) return Err{UnpricedLeg{leg.symbol, std::move(price).error()}};
    const double paid = *price * leg.ratio_qty;
    net += leg.side == vavev_aziz::Side::Buy ? paid : -paid;
  }
  return net;
}

double priced_at(const vavev_aziz::Order& order, double live_price) {
  if (order.side == vavev_aziz::Side::Sell && order.limit_price)
    return std::max(*order.limit_price, live_price);
  return live_price;
}

bool usable_price(double price) {
  return std::isfinite(price) && price > 0;
}

LiveMarket::LiveMarket(std::vector<alpaca::Position> snapshot, bool offline, std::ostream& err)
    : snapshot(std::move(snapshot)), offline(offline), err_(err) {}

std::vector<alpaca::Position> LiveMarket::positions() {
  if (offline) return snapshot;
  auto client = alpaca::Client::from_environment();
  if (!client) return snapshot;
  auto now = client->positions();
  if (!now) return snapshot;
  return std::move(*now);
}

std::optional<double> LiveMarket::notional_now(const vavev_aziz::Order& order) {
  if (offline) return std::nullopt;
  const alpaca::Wire wire = alpaca::wire_form(order);
  if (!(wire.qty > 0)) return std::nullopt;
  if (wire.form == alpaca::Wire::Form::MultiLeg) {
    if (order.limit_price) return std::nullopt;
    auto net = net_debit(order, err_);
    if (!net) return std::nullopt;
    return std::max(order.notional, *net * wire.qty * contract_multiplier(order.asset_class));
  }
  auto price = latest_price(order.symbol, order.asset_class, err_);
  if (!price) return std::nullopt;
  return std::fabs(wire.qty * priced_at(order, *price) * contract_multiplier(order.asset_class));
}

std::optional<Canned> Canned::from_word(std::string_view word) {
  if (word == "approved") return Canned(Verdict{Verdict::Approved{}});
  if (word == "denied") return Canned(Verdict{Verdict::Denied{}});
  if (word == "expired") return Canned(Verdict{Verdict::Expired{}});
  if (word == "undeliverable")
    return Canned(Verdict{Verdict::Undeliverable{"forced by --verdict"}});
  return std::nullopt;
}

Verdict Canned::ask(const std::string&, vavev_aziz::Duration) {
  return verdict;
}

}  // namespace trade
