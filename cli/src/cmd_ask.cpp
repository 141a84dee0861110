// `ask`: the main road. One order from the command line goes through the whole proposal
// pipeline (denial memory, survival layer, rule table, the owner, revalidation, journal); the
// denial memory and the risk state are saved whatever the outcome; an approved order is then
// sent to the broker unless something holds it back, and the result is reported with an exit
// code per outcome. Every error before the pipeline exits 3 and writes nothing.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "ask_output.hpp"
#include "ask_state.hpp"
#include "commands.hpp"
#include "live_context.hpp"
#include "live_market.hpp"
#include "memory_state.hpp"
#include "order_builder.hpp"
#include "order_options.hpp"
#include "paths.hpp"
#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace alpaca = vavev_aziz::alpaca;
namespace numbers = vavev_aziz::numbers;
using vavev_aziz::Context;
using vavev_aziz::Journal;
using vavev_aziz::Order;

// How long an owner's "no" keeps the same kind of order from being asked again: four hours.
constexpr vavev_aziz::Duration kSuppress{14'400, 0};

// A stated maximum loss may differ from the one the strikes give by this fraction before the
// difference is pointed out.
constexpr double kMaxLossTolerance = 0.05;

// What became of the risk state at the save after the proposal.
struct RiskSaved {
  std::string unsaved;            // why it could not be saved; empty when it was
  bool halted_meanwhile = false;  // the saved state holds a halt another run raised
};

// What holds an approved order back from the broker, tested in this order: the reason that
// becomes the placement error, or none. After the command line's own three: an order whose open
// entry is not in the journal, which every later survival check and `reconcile` would then
// never see; and an order that adds risk while this run's risk state is unsaved, since a halt
// or a high-water mark that cannot be kept must not let openings out, or while another run's
// halt now stands.
std::optional<std::string> held_back(const OrderOptions& o,
                                     const vavev_aziz::Outcome::Submit& submit, const Order& order,
                                     const RiskSaved& risk) {
  if (o.verdict)
    return "--verdict: a canned operator answer is never sent to the broker (approved and "
           "journalled only)";
  if (o.offline)
    return "--offline: approved and journalled, not sent \u2014 nothing in this run contacted "
           "the broker";
  if (o.dry_run) return "--dry-run: approved and journalled, not sent";
  if (submit.unjournalled)
    return "the journal could not record the open entry (" + *submit.unjournalled +
           "): approved, not sent \u2014 an order missing from the journal is invisible to "
           "every later risk check and to reconcile";
  if (order.reduces_risk()) return std::nullopt;
  if (!risk.unsaved.empty())
    return "the risk state could not be saved (" + risk.unsaved +
           "): approved, not sent \u2014 an order that adds risk waits until the survival "
           "layer's state can be kept";
  if (risk.halted_meanwhile)
    return "trading was halted by another run while this order was being judged: approved, "
           "not sent \u2014 opens wait until a human clears the halt";
  return std::nullopt;
}

// The freshness bounds re-checked after the owner's yes. The agent may tighten them, never
// loosen or switch them off.
constexpr double kMaxQuoteAge = 300;
constexpr double kMaxDrift = 0.05;

double tighter(std::optional<double> stated, double bound) {
  return stated && *stated > 0 && *stated < bound ? *stated : bound;
}

// `--dte`: digits with an optional "+", within 32 bits; anything else counts as absent.
std::optional<std::uint32_t> dte(const OrderOptions& o) {
  if (!o.dte) return std::nullopt;
  return numbers::parse_whole_u32(*o.dte);
}

// `--by`, verbatim; else TOVRA_TRADE_BY, untrimmed, unless it is blank; else "cli".
std::string proposer(const OrderOptions& o) {
  if (o.by) return *o.by;
  if (auto by = vavev_aziz::env::text("TOVRA_TRADE_BY"); by && !vavev_aziz::text::is_blank(*by))
    return *by;
  return "cli";
}

constexpr std::string_view kWho = "tovra trade ask";

// `--max-loss` may only make an order look riskier, so a value that reads but is not a
// positive finite amount is refused (one that does not read counts as absent). False after the
// message.
bool max_loss_usable(const OrderOptions& o, std::ostream& err) {
  const auto stated = decimal(o.max_loss);
  if (!stated || (std::isfinite(*stated) && *stated > 0)) return true;
  fail(err,
       "--max-loss " + *o.max_loss +
           ": expected a positive amount\n"
           "  A stated maximum loss can only raise the risk judged, never lower it below the\n"
           "  order's notional. Nothing was judged, written or sent.",
       kWho);
  return false;
}

// The loss the survival layer judges: for a multi-leg ticket whose legs bound it, what they can
// lose (with a NOTE when the stated value disagrees by more than the tolerance), else the larger
// of the stated value and the notional: the agent's word can raise the risk, not lower it.
double max_loss(const OrderOptions& o, const Proposal& proposal, std::ostream& err) {
  const auto stated = decimal(o.max_loss);
  const double notional = proposal.order.notional;
  const auto& derived = proposal.legs_loss;
  if (!derived) return std::max(stated.value_or(notional), notional);
  if (stated && differs(*derived, *stated, kMaxLossTolerance))
    err << "tovra trade: NOTE: --max-loss " << numbers::fixed(*stated, 2)
        << " does not match the strikes (" << numbers::fixed(*derived, 2)
        << "); judging the DERIVED value.\n";
  return *derived;
}

// The live price of the order's underlying; none offline or when it cannot be had.
std::optional<double> underlying_price(const OrderOptions& o, const Order& order) {
  if (o.offline) return std::nullopt;
  auto client = alpaca::Client::from_environment();
  if (!client) return std::nullopt;
  const auto price = alpaca::underlying_price_for(*client, order.symbol, order.asset_class);
  if (price && !usable_price(*price)) return std::nullopt;
  return price;
}

Context proposal_context(const OrderOptions& o, const Proposal& proposal,
                         const vavev_aziz::Trades& open_trades, double now, std::ostream& err) {
  const LiveContext& live = proposal.live;
  double open_risk = 0;
  for (const auto& trade : open_trades)
    if (auto risk = trade.effective_max_loss()) open_risk += *risk;
  const auto iv_rank = decimal(o.iv_rank);

  Context c;
  c.max_loss = max_loss(o, proposal, err);
  c.underlying_price = underlying_price(o, proposal.order);
  c.positions = live.positions;
  c.exposure = {iv_rank, live.equity, open_trades.size(), open_risk, live.equity_source};
  c.iv_rank = iv_rank;
  c.iv = decimal(o.iv);
  c.short_delta = decimal(o.delta);
  c.credit = decimal(o.credit);
  c.dte = dte(o);
  c.structure = o.structure.value_or("unspecified");
  c.by = proposer(o);
  c.equity = live.equity;
  c.now = now;
  c.max_quote_age = tighter(decimal(o.max_quote_age), kMaxQuoteAge);
  c.max_drift = tighter(decimal(o.max_drift), kMaxDrift);
  c.paper = live.paper;
  return c;
}

// Sends the approved order unless something holds it back. A refusal the broker certainly
// did not act on is journalled as never created; any other failure leaves the order awaiting
// reconciliation, since the broker may have created it.
// What the agent stated in place of what the broker could not tell at the start of the run,
// when that may be what let the order through: a stated equity judged an opening, or a
// declared closing intent, which no positions bore out, was what the rules saw. Such an order
// is not sent, even when the broker can be reached by now.
std::optional<std::string> judged_on_the_agents_word(const Order& order, const LiveContext& live) {
  if (!order.reduces_risk() && live.equity_source != vavev_aziz::EquitySource::Broker)
    return "judged on a stated --equity while the broker could not be reached: approved, not "
           "sent \u2014 an order that adds risk goes out only when judged against the account's "
           "own equity";
  if (order.intent == vavev_aziz::Intent::Closing && !live.book_read)
    return "judged as closing on --intent while the positions could not be read: approved, not "
           "sent \u2014 an order is called closing only where the positions show what it closes";
  return std::nullopt;
}

Placement place(const OrderOptions& o, const Order& order,
                const vavev_aziz::Outcome::Submit& submit, const RiskSaved& risk,
                const LiveContext& live, const Journal& journal, std::ostream& err) {
  if (auto reason = held_back(o, submit, order, risk)) return {std::nullopt, std::move(*reason)};
  const vavev_aziz::Ticket& ticket = submit.ticket;

  auto client = alpaca::Client::from_environment();
  if (client)
    if (auto reason = judged_on_the_agents_word(order, live))
      return {std::nullopt, std::move(*reason)};
  auto placed = client ? client->place_order(order, ticket.approval.client_order_id)
                       : vavev_aziz::Result<alpaca::Placed, alpaca::AlpacaError>(
                             vavev_aziz::Err{std::move(client).error()});
  if (placed) return {std::move(*placed), std::nullopt};
  const std::string error = placed.error().display();
  if (placed.error().is_definitive_refusal()) {
    const double qty = order.legs.empty() ? 1.0 : order.legs.front().qty;
    // Unrecorded, the order stays awaiting: `reconcile` then learns its fate from the broker.
    vavev_aziz::warn_if_unwritten(
        vavev_aziz::record_unplaced(journal, ticket.client_order_id, error, qty),
        "REFUSED AT THE WIRE \u2014 reconcile will ask the broker about it", err);
  }
  return {std::nullopt, error};
}

}  // namespace

Exit cmd_ask(const Args& args, Io io) {
  const auto read = read_order_options(args, "ask", io.err);
  if (!read) return read.error();
  const OrderOptions& options = *read;
  if (!max_loss_usable(options, io.err)) return Exit::Error;
  auto proposal = prepare_proposal(options, options.may_reach_broker(), io.err);
  if (!proposal) return proposal.error();
  auto& [live, order, gate, legs_loss] = *proposal;
  const auto memory_file = memory_path();
  if (!memory_file) return no_home(io.err);
  auto memory = vavev_aziz::DenialMemory::load(*memory_file);

  std::optional<Canned> canned;
  if (const auto& word = options.verdict) {
    canned = Canned::from_word(*word);
    if (!canned) {
      return fail(io.err, "--verdict " + *word + ": expected approved|denied|expired|undeliverable",
                  kWho);
    }
  }
  vavev_aziz::ImsgAsker imsg;
  vavev_aziz::Asker& asker = canned ? static_cast<vavev_aziz::Asker&>(*canned) : imsg;

  const double now = vavev_aziz::platform::now_seconds();
  const auto risk_file = state_path("risk.json");
  if (!risk_file) return no_path(io.err, risk_file.error());
  const auto journal_file = state_path("journal.jsonl");
  if (!journal_file) return no_path(io.err, journal_file.error());
  auto [risk, risk_savable] = load_risk_state(*risk_file, now, io.err);
  const vavev_aziz::RiskState risk_read = risk;  // the save merges only this run's changes
  const auto limits = load_limits(io.err);
  const Journal journal(*journal_file);
  LiveMarket market(live.positions, options.offline, io.err);
  const auto open_trades = journal.open_trades(vavev_aziz::Refusals::Read);
  restore_journalled_halt(risk, journal_halts(open_trades), io.err);
  recall_journalled_refusals(memory, open_trades, journal_name(*journal_file, *memory_file));
  const Context context = proposal_context(options, *proposal, open_trades, now, io.err);

  vavev_aziz::Pipeline pipeline{asker,  market,  gate,      memory, risk,
                                limits, journal, kSuppress, io.err};
  AskResult result{pipeline.propose(order, context), {}, false};

  if (auto saved = memory.save(*memory_file); !saved)
    io.err << "tovra trade: WARNING: denial memory not persisted (" << memory_file->string()
           << "): " << saved.error().message() << '\n';
  // A damaged state that could not be set aside is left in place rather than saved over.
  std::string unsaved = "the unreadable file was left in place";
  bool halted_meanwhile = false;
  if (risk_savable) {
    auto saved = save_risk(*risk_file, risk, risk_read);
    unsaved = saved ? "" : saved.error().message();
    if (saved) {
      // Another run may have halted trading while this one waited for the owner.
      halted_meanwhile = saved->halt && !risk.halt;
      risk = std::move(*saved);
    }
  }
  if (!unsaved.empty())
    io.err << "tovra trade: WARNING: RISK STATE NOT PERSISTED (" << risk_file->string()
           << "): " << unsaved << " \u2014 " << unsaved_risk_outcome(risk, risk_read) << '\n';

  if (const auto* submit = result.outcome.submit())
    result.placement =
        place(options, order, *submit, {unsaved, halted_meanwhile}, live, journal, io.err);
  result.halted = risk.halt.has_value();
  print_ask_result(result, order, options.json ? Form::Json : Form::Text, io.out);
  return ask_exit_code(result.outcome);
}

}  // namespace trade
