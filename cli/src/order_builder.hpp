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
#include "order_options.hpp"
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

// An order as built, and for a multi-leg option ticket what its legs can lose (see
// `vavev_aziz::alpaca::derive_max_loss`) when they bound it and what it pays can be told.
struct BuiltOrder {
  vavev_aziz::Order order;
  std::optional<double> legs_loss;
};

// The order the options describe, checked against `positions` for its intent. On the first
// invalid option or refusal the messages are written to `err` and the error is Exit::Error.
// Sizing by `--qty` without a limit and without `--offline` asks the broker for one price (a
// multi-leg ticket at market, one per leg) and stamps the order with the time it was read. A
// multi-leg option ticket takes its symbol (the legs' root), intent and side from its legs and
// its net price, and its notional is never below what the legs can lose. Leg intents and covered
// flags are left for `derive_leg_facts`.
vavev_aziz::Result<BuiltOrder, Exit> build_order(
    const OrderOptions& options, const std::vector<vavev_aziz::alpaca::Position>& positions,
    std::ostream& err, OrderTerms terms = {});

// What `check` and `ask` both start from: the live context, the order with its legs' facts
// derived from the live positions, the rule table, and what a ticket's legs can lose.
struct Proposal {
  LiveContext live;
  vavev_aziz::Order order;
  vavev_aziz::Gate gate;
  std::optional<double> legs_loss;
};

// Reads the live context, builds the order for `may_send` (see `OrderTerms`), derives its legs'
// facts, applies the equity rule and loads the rule table, in that order. On the first failure
// the messages are on `err` and the error is Exit::Error.
vavev_aziz::Result<Proposal, Exit> prepare_proposal(const OrderOptions& options, bool may_send,
                                                    std::ostream& err);

// Whether a stated amount is off the derived one by more than `tolerance`, as a fraction of the
// derived amount (of 1 when that is smaller).
bool differs(double derived, double stated, double tolerance);

// One `--leg` value, SYMBOL:buy|sell:QTY[:RATIO]: the symbol trimmed and upper-cased, a finite
// quantity above zero, a ratio of at least 1 (default 1), opening and not covered. The error
// text begins with the whole value and ": ".
vavev_aziz::Result<vavev_aziz::Leg, std::string> parse_leg(std::string_view text);

}  // namespace trade
