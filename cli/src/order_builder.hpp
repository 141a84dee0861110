// Building the proposed order from the command line, the same way for `check` and `ask`:
// symbol, notional, class, side, intent (derived from the live positions unless declared),
// the one net limit price, sizing by quantity, the thesis and the legs. Option errors begin
// "tovra trade check: " under both commands; refusals and NOTE lines begin "tovra trade: ".
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "live_context.hpp"
#include "run.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {

// Most legs `--legs` may clone onto one ticket; a larger count is a usage error rather than
// an attempt to build it.
inline constexpr std::uint64_t kMaxUniformLegs = 100;

// What an order is built against besides the options and the positions.
struct OrderTerms {
  // The positions came from the broker in this run, an empty book included: a declared intent
  // must then agree with them. (A book with positions in it counts as read in any case.)
  bool book_read = false;
  // The order may reach the broker: the symbol or legs sent must then read as the class and
  // the underlying the order is judged as. Without it only an option contract judged as
  // another class is refused.
  bool may_send = false;
};

// The order the options describe, checked against `positions` for its intent. On the first
// invalid option or refusal the messages are written to `err` and the error is
// Exit::Error. Sizing by `--qty` without a limit and without `--offline` asks the broker for one
// price and stamps the order with the time it was read. Leg intents and covered flags are left for
// `derive_leg_facts`.
vavev_aziz::Result<vavev_aziz::Order, Exit> build_order(
    const Args& args, const std::vector<vavev_aziz::alpaca::Position>& positions, std::ostream& err,
    OrderTerms terms = {});

// What `check` and `ask` both start from: the live context, the order with its legs' facts
// derived from the live positions, and the rule table.
struct Proposal {
  LiveContext live;
  vavev_aziz::Order order;
  vavev_aziz::Gate gate;
};

// The credit per share a multi-leg ticket is sure of: what its credit limit names, or
// `stated` when that is less; none for a debit or market ticket, which may receive nothing.
// What the strikes can lose is worked out with this, never with a larger credit the agent
// states.
std::optional<double> assured_credit(const vavev_aziz::Order& order, std::optional<double> stated);

// Whether an approved `ask` may reach the broker: neither a canned `--verdict` answer nor
// `--offline` holds it back. (`--dry-run` is only decided after the judgement, so an order
// rehearsed with it is judged exactly as it would be sent.)
bool may_reach_broker(const Args& args);

// Refuses a stray argument (one that is neither an option of `check` or `ask` nor the value
// of the valued option right before it), then reads the live context, builds the order for
// `may_send` (see `OrderTerms`), derives its legs' facts, applies the equity rule and loads the
// rule table, in that order. On the first failure the messages are on `err` (under "tovra
// trade {command}: " for the stray argument) and the error is Exit::Error.
vavev_aziz::Result<Proposal, Exit> prepare_proposal(const Args& args, std::string_view command,
                                                    bool may_send, std::ostream& err);

// Whether a stated amount is off the derived one by more than `tolerance`, as a fraction of the
// derived amount (of 1 when that is smaller).
bool differs(double derived, double stated, double tolerance);

// One `--leg` value, SYMBOL:buy|sell:QTY[:RATIO]: the symbol trimmed and upper-cased, a finite
// quantity above zero, a ratio of at least 1 (default 1), opening and not covered. The error
// text begins with the whole value and ": ".
vavev_aziz::Result<vavev_aziz::Leg, std::string> parse_leg(std::string_view text);

}  // namespace trade
