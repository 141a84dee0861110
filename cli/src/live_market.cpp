#include "live_market.hpp"

#include <cmath>

#include <fmt/format.h>

#include "options.hpp"
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

bool usable_price(double price) {
  return std::isfinite(price) && price > 0;
}

LiveMarket::LiveMarket(std::vector<alpaca::Position> snapshot, const Args& args, std::ostream& err)
    : snapshot(std::move(snapshot)), offline(has(args, "--offline")), err_(err) {}

std::vector<alpaca::Position> LiveMarket::positions() {
  if (offline) return snapshot;
  auto client = alpaca::Client::from_environment();
  if (!client) return snapshot;
  auto now = client->positions();
  if (!now) return snapshot;
  return std::move(*now);
}

std::optional<double> LiveMarket::notional_now(const vavev_aziz::Order& order) {
  if (offline || order.legs.empty() || !(order.legs.front().qty > 0)) return std::nullopt;
  auto price = latest_price(order.symbol, order.asset_class, err_);
  if (!price) return std::nullopt;
  return std::fabs(order.legs.front().qty * *price * contract_multiplier(order.asset_class));
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
