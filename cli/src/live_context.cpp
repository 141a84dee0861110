#include "live_context.hpp"

#include <cmath>
#include <optional>

namespace trade {
namespace {

namespace alpaca = vavev_aziz::alpaca;

// A stated equity must be usable as the denominator of every fraction-of-equity rule: zero,
// a negative value, NaN or infinity would loosen or break those rules as silently as the
// placeholder would, so such a value counts as not stated.
std::optional<double> stated_equity(const OrderOptions& o) {
  auto value = decimal(o.equity);
  if (!value || !std::isfinite(*value) || *value <= 0) return std::nullopt;
  return value;
}

LiveContext fallback(std::string_view source, std::optional<double> stated) {
  LiveContext c;
  c.source = std::string(source);
  c.equity = stated.value_or(kPlaceholderEquity);
  c.equity_known = stated.has_value();
  return c;
}

}  // namespace

LiveContext live_context(const OrderOptions& o, bool may_send) {
  const auto stated = stated_equity(o);
  if (o.offline) return fallback(kEquityOffline, stated);

  auto client = alpaca::Client::from_environment();
  if (!client) return fallback(kEquityNoCredentials, stated);

  // Both calls are made whatever the first one gives: positions still matter for deriving
  // intent when only the account record failed.
  auto account = client->account();
  auto positions = client->positions();
  // An infinite equity from the broker is no more usable than a zero one.
  const double live = account ? account->equity_f64() : 0.0;
  const bool readable = std::isfinite(live) && live > 0;

  LiveContext c = readable ? fallback(kEquityLive, live)
                           : fallback(kEquityUnreadable, may_send ? std::nullopt : stated);
  if (readable) c.equity_source = vavev_aziz::EquitySource::Broker;
  if (positions) {
    c.positions = std::move(*positions);
    c.book_read = true;
  }
  c.paper = client->base_url() == alpaca::kPaperEndpoint;
  return c;
}

bool passes_equity_rule(const LiveContext& context, const vavev_aziz::Order& order,
                        std::ostream& err) {
  if (context.equity_known || order.reduces_risk()) return true;
  fail(err, "REFUSED \u2014 equity is unknown (" + context.source +
                "), and equity is the denominator of every fraction-of-equity rule and every "
                "risk limit.\n"
                "  Evaluating against a placeholder would LOOSEN the gate silently, so no open is "
                "judged.\n"
                "  Fix: make credentials readable, or state it explicitly with --equity N.\n"
                "  (risk-reducing orders are unaffected \u2014 getting out never needs a "
                "denominator)");
  return false;
}

}  // namespace trade
