// `account`: a read-only look at the selected account — endpoint, status, money, options
// level, shorting, whether it can trade, the market clock and the open positions.
#include <fmt/format.h>

#include "commands.hpp"
#include "options.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace trade {
namespace {

namespace alpaca = vavev_aziz::alpaca;
namespace json = vavev_aziz::json;
namespace numbers = vavev_aziz::numbers;

struct View {
  std::string base;
  bool paper = false;
  alpaca::Account account;
  std::vector<alpaca::Position> positions;
  std::optional<alpaca::Clock> clock;
};

void print_text(const View& v, std::ostream& out) {
  const auto& a = v.account;
  out << fmt::format("{}  [{}]\n", v.base, v.paper ? "PAPER" : "LIVE \u2014 real money");
  out << fmt::format("  status            {}\n", a.status);
  out << fmt::format("  equity            ${}\n", numbers::fixed(a.equity_f64(), 2));
  out << fmt::format("  buying power      ${}\n", a.buying_power);
  out << fmt::format("  options level     {}\n",
                     a.options_trading_level ? std::to_string(*a.options_trading_level) : "-");
  out << fmt::format("  shorting          {}\n", a.shorting_enabled ? "true" : "false");
  if (auto reason = a.can_trade())
    out << fmt::format("  tradable          NO \u2014 {}\n", *reason);
  else
    out << "  tradable          yes\n";
  if (!v.clock)
    out << "  market            unknown \u2014 clock unavailable\n";
  else if (v.clock->is_open)
    out << fmt::format("  market            OPEN \u2014 closes {}\n", v.clock->next_close);
  else
    out << fmt::format("  market            CLOSED \u2014 opens {}\n", v.clock->next_open);
  out << fmt::format("\n  {} open positions\n", v.positions.size());
  for (const auto& p : v.positions)
    out << fmt::format("    {:<20} {:>10}\n", p.symbol, numbers::shortest(p.qty_f64()));
}

void print_json(const View& v, std::ostream& out) {
  const auto& a = v.account;
  json::Json o = json::Json::object();
  o["base"] = v.base;
  o["paper"] = v.paper;
  o["status"] = a.status;
  o["equity"] = a.equity_f64();
  o["options_trading_level"] =
      a.options_trading_level ? json::Json(*a.options_trading_level) : json::Json(nullptr);
  o["shorting_enabled"] = a.shorting_enabled;
  o["can_trade"] = !a.can_trade().has_value();
  o["market_open"] = v.clock ? json::Json(v.clock->is_open) : json::Json(nullptr);
  o["market_next_open"] = v.clock ? json::Json(v.clock->next_open) : json::Json(nullptr);
  o["market_next_close"] = v.clock ? json::Json(v.clock->next_close) : json::Json(nullptr);
  json::Json positions = json::Json::array();
  for (const auto& p : v.positions) {
    json::Json row = json::Json::object();
    row["symbol"] = p.symbol;
    row["qty"] = p.qty_f64();
    row["market_value"] = p.market_value;
    positions.push_back(std::move(row));
  }
  o["positions"] = std::move(positions);
  out << json::pretty(o) << '\n';
}

}  // namespace

Exit cmd_account(const Args& args, Io io) {
  auto client = alpaca::Client::from_environment();
  if (!client) return fail(io.err, client.error().display());
  auto account = client->account();
  if (!account) return fail(io.err, account.error().display());
  View v;
  v.base = client->base_url();
  v.paper = v.base == alpaca::kPaperEndpoint;
  v.account = std::move(*account);
  if (auto positions = client->positions()) v.positions = std::move(*positions);
  if (auto clock = client->clock()) v.clock = std::move(*clock);

  if (has(args, "--json"))
    print_json(v, io.out);
  else
    print_text(v, io.out);
  return Exit::Ok;
}

}  // namespace trade
