// Latest prices from the market-data API. Symbols go into the path with every "/" written
// "%2F"; nothing else is encoded. Answers are read by shape, whatever the asset class:
//   {"trade": {"p": 187.2}}                      latest trade of one symbol
//   {"trades": {"SYM": {"p": 1.05}, ...}}        latest trades keyed by symbol (first one used)
//   {"snapshots": {"SYM": {"latestQuote": {"bp": 1.0, "ap": 1.2}, "latestTrade": {"p": 1.1}}}}
// Only JSON numbers count as prices.
#include <sstream>

#include <fmt/format.h>

#include "alpaca_internal.hpp"
#include "vavev_aziz/alpaca.hpp"

namespace vavev_aziz::alpaca {
namespace {

using json::Json;

constexpr std::size_t kSnapshotErrorChars = 400;
constexpr std::size_t kPriceErrorChars = 200;

std::string encoded(std::string_view symbol) {
  std::string out;
  for (char c : symbol) {
    if (c == '/')
      out += "%2F";
    else
      out += c;
  }
  return out;
}

std::optional<double> number_at(const Json& object, const char* key) {
  const Json* v = member(object, key);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

// The value of the first entry of the object `key`, in the answer's order.
const Json* first_entry(const Json& answer, const char* key) {
  const Json* keyed = member(answer, key);
  if (keyed == nullptr || !keyed->is_object() || keyed->empty()) return nullptr;
  return &keyed->begin().value();
}

// A GET of `path` on the market-data API, its answer read as JSON.
Result<Json, AlpacaError> market_data(const Client& client, const std::string& path,
                                      std::size_t error_chars) {
  const std::string url = data_base() + path;
  return fetch_json({http::Method::Get, url, client.key_id(), client.secret_key(), std::nullopt},
                    error_chars);
}

Result<double, AlpacaError> option_mid(const Client& client, const std::string& symbol) {
  auto answer = market_data(
      client, fmt::format("/v1beta1/options/snapshots?symbols={}&feed=indicative", symbol),
      kSnapshotErrorChars);
  if (!answer) return Err{std::move(answer).error()};
  if (auto mid = mid_from_snapshot(*answer)) return *mid;
  return Err{AlpacaError::decode(fmt::format("no quote and no trade for {}", symbol))};
}

Result<double, AlpacaError> trade_price(const Client& client, const std::string& path,
                                        std::string_view symbol) {
  auto answer = market_data(client, path, kPriceErrorChars);
  if (!answer) return Err{std::move(answer).error()};
  if (const Json* trade = member(*answer, "trade"))
    if (auto p = number_at(*trade, "p")) return *p;
  if (const Json* first = first_entry(*answer, "trades"))
    if (auto p = number_at(*first, "p")) return *p;
  return Err{AlpacaError::decode(fmt::format("no last price for {}", symbol))};
}

}  // namespace

// A crypto symbol written without its "/" ("BTCUSD") is split before the first quote currency
// it ends with; the four-letter ones are tried first so BTCUSDT is not read as BTCU/SDT.
std::optional<double> mid_from_snapshot(const Json& answer) {
  const Json* s = first_entry(answer, "snapshots");
  if (s == nullptr) return std::nullopt;
  if (const Json* quote = member(*s, "latestQuote")) {
    const double bid = number_at(*quote, "bp").value_or(0.0);
    const auto ask = number_at(*quote, "ap");
    if (ask && *ask >= bid && bid > 0) return (bid + *ask) / 2;
  }
  if (const Json* trade = member(*s, "latestTrade")) return number_at(*trade, "p");
  return std::nullopt;
}

Result<double, AlpacaError> Client::last_price(std::string_view symbol, AssetClass asset_class,
                                               std::ostream& err) const {
  const std::string symbol_in_path = encoded(symbol);
  switch (asset_class) {
    case AssetClass::Equity:
      return trade_price(*this, fmt::format("/v2/stocks/{}/trades/latest", symbol_in_path), symbol);
    case AssetClass::Option: {
      auto mid = option_mid(*this, symbol_in_path);
      if (mid) return *mid;
      err << fmt::format(
          "tovra trade: NOTE: no snapshot mid for {} ({}); pricing off the last trade, which may "
          "predate this session.\n",
          symbol, mid.error().display());
      return trade_price(
          *this, fmt::format("/v1beta1/options/trades/latest?symbols={}", symbol_in_path), symbol);
    }
    case AssetClass::Crypto:
      return trade_price(*this,
                         fmt::format("/v1beta3/crypto/us/latest/trades?symbols={}",
                                     encoded(crypto_pair(symbol).value_or(std::string(symbol)))),
                         symbol);
  }
  return Err{AlpacaError::decode(fmt::format("no last price for {}", symbol))};
}

std::optional<double> underlying_price_for(const Client& client, std::string_view symbol,
                                           AssetClass asset_class) {
  std::string target(symbol);
  AssetClass target_class = asset_class;
  if (asset_class == AssetClass::Option) {
    auto occ = parse_occ(symbol);
    if (!occ) return std::nullopt;
    target = occ->root;
    target_class = AssetClass::Equity;
  }
  // Equity and crypto prices never print the option NOTE, so nothing reaches this stream.
  std::ostringstream unused;
  auto price = client.last_price(target, target_class, unused);
  if (!price) return std::nullopt;
  return *price;
}

}  // namespace vavev_aziz::alpaca
