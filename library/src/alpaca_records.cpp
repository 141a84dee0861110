// The broker's read-only records: the account, the open positions and the market clock, read
// strictly from the JSON bodies of GET /v2/account, /v2/positions and /v2/clock. Keys the
// records do not know are skipped; a known key given twice, a wrong type, null in a text or
// boolean, an integer out of range or text after the value refuse the whole body.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "alpaca_internal.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz::alpaca {
namespace {

using json::field;
using json::Presence;
using json::Reader;

template <class T>
Result<T, std::string> finished(const Reader& r, Result<void, json::Error> read, T value) {
  if (!read) return Err{std::move(read).error()};
  if (auto done = r.finish(); !done) return Err{std::move(done).error()};
  return value;
}

Result<void, json::Error> read_position(Reader& r, Position& p) {
  return json::read_object(r, "struct Position",
                           {
                               field("symbol", p.symbol, Presence::Required),
                               field("asset_class", p.asset_class),
                               field("qty", p.qty),
                               field("market_value", p.market_value),
                               field("unrealized_pl", p.unrealized_pl),
                               field("qty_available", p.qty_available),
                           });
}

template <class T>
Result<T, AlpacaError> decoded(Result<T, std::string> read) {
  if (!read) return Err{AlpacaError::decode(std::move(read).error())};
  return std::move(*read);
}

}  // namespace

Result<Account, std::string> read_account(std::string_view body) {
  Reader r(body);
  Account a;
  auto read = json::read_object(r, "struct Account",
                                {
                                    field("status", a.status, Presence::Required),
                                    field("account_number", a.account_number),
                                    field("equity", a.equity),
                                    field("cash", a.cash),
                                    field("buying_power", a.buying_power),
                                    field("options_buying_power", a.options_buying_power),
                                    field("options_trading_level", a.options_trading_level),
                                    field("shorting_enabled", a.shorting_enabled),
                                    field("trading_blocked", a.trading_blocked),
                                    field("account_blocked", a.account_blocked),
                                    field("pattern_day_trader", a.pattern_day_trader),
                                    field("daytrade_count", a.daytrade_count),
                                });
  return finished(r, std::move(read), std::move(a));
}

Result<std::vector<Position>, std::string> read_positions(std::string_view body) {
  Reader r(body);
  std::vector<Position> list;
  auto read = json::read_array(r, "a sequence", [&list](Reader& r) -> Result<void, json::Error> {
    Position p;
    if (auto one = read_position(r, p); !one) return one;
    list.push_back(std::move(p));
    return {};
  });
  return finished(r, std::move(read), std::move(list));
}

Result<Clock, std::string> read_clock(std::string_view body) {
  Reader r(body);
  Clock c;
  auto read = json::read_object(r, "struct Clock",
                                {
                                    field("is_open", c.is_open),
                                    field("timestamp", c.timestamp),
                                    field("next_open", c.next_open),
                                    field("next_close", c.next_close),
                                });
  return finished(r, std::move(read), std::move(c));
}

double Account::equity_f64() const {
  return numbers::parse_decimal(equity).value_or(0.0);
}

std::optional<std::string> Account::can_trade() const {
  if (account_blocked) return std::string("account is BLOCKED");
  if (trading_blocked) return std::string("trading is BLOCKED on this account");
  if (status == "ACTIVE") return std::nullopt;
  return fmt::format("account status is {}, not ACTIVE", status);
}

double Position::qty_f64() const {
  return numbers::parse_decimal(qty).value_or(0.0);
}

double Position::closable_f64() const {
  const double held = qty_f64();
  if (!qty_available || !std::isfinite(held)) return held;
  const auto available = numbers::parse_decimal(*qty_available);
  if (!available || !std::isfinite(*available)) return held;
  // Open orders can only hold back part of the position, and never turn its side.
  const double free = std::min(std::fabs(*available), std::fabs(held));
  return held < 0 ? -free : free;
}

Result<std::string, AlpacaError> Client::get(std::string_view path) const {
  const std::string url = base_url_ + std::string(path);
  return http::fetch({http::Method::Get, url, key_id_, secret_key_, std::nullopt}, kErrorChars);
}

Result<Account, AlpacaError> Client::account() const {
  auto body = get("/v2/account");
  if (!body) return Err{std::move(body).error()};
  return decoded(read_account(*body));
}

Result<std::vector<Position>, AlpacaError> Client::positions() const {
  auto body = get("/v2/positions");
  if (!body) return Err{std::move(body).error()};
  return decoded(read_positions(*body));
}

Result<Clock, AlpacaError> Client::clock() const {
  auto body = get("/v2/clock");
  if (!body) return Err{std::move(body).error()};
  return decoded(read_clock(*body));
}

}  // namespace vavev_aziz::alpaca
