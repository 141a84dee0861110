// The proposal pipeline: one proposal from the copied order to its journalled end. Every
// refusal's stage word, outcome code, journal label and guidance text come from the vocabulary
// table; only the reasons are built where they arise.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "pipeline_vocabulary.hpp"
#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz {
namespace {

using vocabulary::Refusal;

// The template with its one "{}" replaced by `value`, taken verbatim (no format parsing, so
// braces in the value are harmless).
std::string fill(std::string_view templ, std::string_view value) {
  const auto at = templ.find("{}");
  std::string out(templ.substr(0, at));
  out += value;
  out += templ.substr(at + 2);
  return out;
}

// Journals the refusal and returns it. `rule` labels the rows that a rule decided;
// `placeholder` fills the agent text when it differs from the reason; `denied` is what the
// owner's no suppresses and until when.
Outcome refused(const Pipeline& p, const Order& order, const Context& context, Refusal path,
                std::string_view rule, std::string reason,
                std::optional<std::string_view> placeholder = std::nullopt,
                const std::optional<std::pair<std::string, double>>& denied = std::nullopt) {
  const auto& r = vocabulary::row(path);
  Pipeline::refuse(p.journal, order, context, r.end.outcome, r.label.empty() ? rule : r.label,
                   reason, p.err, denied);
  std::string agent = fill(r.agent, placeholder ? *placeholder : std::string_view(reason));
  return {Outcome::Refused{r.end.stage, r.end.outcome, std::move(reason), std::move(agent)}};
}

std::string_view leg_word(Intent i) {
  return i == Intent::Closing ? "reducing" : "opening";
}

}  // namespace

void warn_if_unwritten(const Result<void, std::error_code>& result, std::string_view label,
                       std::ostream& err) {
  if (result) return;
  err << "tovra trade: WARNING: journal write FAILED (" << label
      << "): " << result.error().message() << '\n';
}

Outcome Pipeline::propose(const Order& proposed, const Context& context) {
  Order order = proposed;
  alpaca::derive_leg_facts(order, context.positions);
  const Fingerprint fingerprint = Fingerprint::of(order);
  const double now = context.now;

  const RiskState judged = risk.track(context.exposure, now);

  if (const auto until = memory.suppressed_until(now, fingerprint)) {
    const double minutes = std::max(std::ceil((*until - now) / 60.0), 0.0);
    return refused(*this, order, context, Refusal::Memory, {},
                   fmt::format("{} was refused and is suppressed for another {} min",
                               order.summary(), numbers::shortest(minutes)));
  }

  if (!order.reduces_risk()) {
    const RiskCheck check =
        judged.evaluate_open(context.exposure, limits, context.max_loss, context.now);
    if (const auto* r = check.refuse())
      return refused(*this, order, context, Refusal::RiskRefused, {}, r->message);
    if (const auto* h = check.already_halted())
      return refused(*this, order, context, Refusal::AlreadyHalted, {}, h->message);
    if (const auto* n = check.new_halt()) {
      Halt halt = n->halt;
      // Its place in the journal tells a later save whether a `resume` has seen it.
      const auto line = journal.append_and_locate(
          {HaltEntry{halt.at, halt.kind, halt.reason, halt.equity, halt.high_water, halt.iv_rank}});
      if (line)
        halt.journal_offset = *line;
      else
        warn_if_unwritten(Err{line.error()}, "halt", err);
      if (!risk.halt) risk.halt = halt;
      return refused(*this, order, context, Refusal::NewHalt, {}, halt.reason);
    }
  }

  const Decision decision = gate.evaluate(order, context.equity, context.paper);
  if (const auto* d = decision.deny())
    return refused(*this, order, context, Refusal::GateDeny, d->rule, d->reason);
  if (const auto* a = decision.allow())
    return fire(journal, order, context, Approval{a->client_order_id, a->granted_by}, a->rule, err);
  const Decision::Ask& ask = *decision.ask();

  const Verdict verdict = asker.ask(ask.question, ask.ttl);
  if (verdict.approved()) {
    const Approval approval{ask.client_order_id, GrantedBy::Operator};
    auto fresh = revalidate(order, context, ask.rule);
    if (fresh) return fire(journal, order, context, approval, ask.rule, err);
    return refused(*this, order, context, Refusal::Stale, ask.rule, std::move(fresh.error()));
  }
  if (verdict.denied()) {
    const double until = now + suppress.as_seconds();
    memory.entries[fingerprint.text] = until;
    return refused(*this, order, context, Refusal::OperatorDenied, ask.rule,
                   fmt::format("operator refused: {}", order.summary()), std::nullopt,
                   std::pair(fingerprint.text, until));
  }
  if (verdict.expired())
    return refused(*this, order, context, Refusal::Expired, ask.rule,
                   fmt::format("unanswered after {}s: {}", ask.ttl.secs, order.summary()));
  if (const auto* u = verdict.undeliverable())
    return refused(*this, order, context, Refusal::Undeliverable, ask.rule,
                   fmt::format("could not ask about {}: {}", order.summary(), u->reason),
                   u->reason);
  return {Outcome::Parked{ask.rule, ask.question}};
}

Result<void, std::string> Pipeline::revalidate(const Order& order, const Context& context,
                                               std::string_view approved_rule) {
  if (order.quoted_at > 0 && context.max_quote_age > 0) {
    // The proposal's own time, not a fresh clock reading: the age the owner's answer had.
    const double age = context.now - order.quoted_at;
    if (age > context.max_quote_age)
      return Err{fmt::format("the quote is {}s old, past the {}s limit", numbers::fixed(age, 0),
                             numbers::fixed(context.max_quote_age, 0))};
  }

  const std::optional<double> now_notional = market.notional_now(order);
  if (now_notional && order.notional > 0 && context.max_drift > 0) {
    const double drift = std::fabs(*now_notional - order.notional) / order.notional;
    if (drift > context.max_drift)
      return Err{fmt::format("the notional moved {}% during the ask ({} -> {}), past the {}% limit",
                             numbers::fixed(drift * 100, 1), numbers::fixed(order.notional, 2),
                             numbers::fixed(*now_notional, 2),
                             numbers::fixed(context.max_drift * 100, 1))};
  }

  Order fresh = order;
  alpaca::derive_leg_facts(fresh, market.positions());
  const std::size_t n = std::min(order.legs.size(), fresh.legs.size());
  for (std::size_t i = 0; i < n; ++i) {
    const Leg& was = order.legs[i];
    const Leg& is = fresh.legs[i];
    if (was.intent != is.intent)
      return Err{fmt::format(
          "leg {} was {} when the question was sent and is {} now \u2014 the position book moved "
          "during the ask, so this is no longer the order that was approved",
          was.symbol, leg_word(was.intent), leg_word(is.intent))};
  }

  const Decision decision = gate.evaluate(fresh, context.equity, context.paper);
  if (decision.rule() != approved_rule)
    return Err{fmt::format(
        "the position book changed while the ask was pending \u2014 this order now falls under "
        "'{}' rather than the '{}' it was approved under",
        decision.rule(), approved_rule)};
  if (decision.deny()) return Err{std::string("the order would now be DENIED by the rule table")};
  return {};
}

Outcome Pipeline::fire(const Journal& journal, const Order& order, const Context& context,
                       const Approval& approval, std::string_view rule, std::ostream& err) {
  const bool exit = order.reduces_risk();
  std::optional<std::string> closes;
  if (exit) {
    // Read before this order's own line goes in; a name is given only when it is unambiguous.
    int matches = 0;
    for (const auto& trade : journal.open_trades()) {
      if (trade.symbol() != order.symbol) continue;
      if (++matches == 1) closes = trade.id();
    }
    if (matches != 1) closes.reset();
  }

  OpenEntry entry;
  entry.id = order.client_order_id;
  entry.at = context.now;
  entry.symbol = order.symbol;
  entry.structure = context.structure;
  entry.thesis = order.thesis;
  entry.iv_rank = context.iv_rank;
  entry.iv = context.iv;
  entry.underlying_price = context.underlying_price;
  if (!order.legs.empty() && order.legs.front().qty > 0) entry.qty = order.legs.front().qty;
  entry.short_delta = context.short_delta;
  entry.credit = context.credit;
  entry.max_loss = context.max_loss;
  entry.dte = context.dte;
  entry.gate_rule = std::string(rule);
  entry.approved_by = word(approval.granted_by);
  entry.by = context.by;
  entry.exit = exit;
  entry.closes = std::move(closes);
  const auto appended = journal.append({std::move(entry)});
  warn_if_unwritten(appended, "OPEN \u2014 this position is now untracked", err);
  std::optional<std::string> unjournalled;
  if (!appended) unjournalled = appended.error().message();
  return {Outcome::Submit{Ticket{approval, order.client_order_id}, std::move(unjournalled)}};
}

void Pipeline::refuse(const Journal& journal, const Order& order, const Context& context,
                      std::string_view outcome, std::string_view label, std::string_view reason,
                      std::ostream& err,
                      const std::optional<std::pair<std::string, double>>& denied) {
  RefusedEntry entry{order.client_order_id,
                     context.now,
                     context.by,
                     order.symbol,
                     std::string(order.thesis.empty() ? reason : std::string_view(order.thesis)),
                     std::string(outcome),
                     std::string(label)};
  if (denied) {
    entry.denied_fingerprint = denied->first;
    entry.denied_until = denied->second;
  }
  warn_if_unwritten(journal.append({std::move(entry)}), "refusal", err);
}

}  // namespace vavev_aziz
