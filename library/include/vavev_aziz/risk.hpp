// The survival layer: limits that no rule can override.
//
// It judges only orders that add risk. Five `Limits` (trade-limits.json) bound the fall from
// the account's high-water mark, the week's loss, the number of open trades and the risk of one
// order and of all open trades together. The persisted `RiskState` (risk.json) holds the
// high-water mark, the week's starting equity and the halt in force, if any. A drawdown or a
// weekly loss past its limit raises a halt that stops every new opening order until a person
// at the machine clears it, confirmed by an external presence-check program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz {

// The five limits; the fractions are of equity (0.1 is 10%). The defaults are the limits in
// force when trade-limits.json is absent or invalid.
struct Limits {
  double max_drawdown = 0.10;             // fall from the high-water mark that halts trading
  double weekly_loss_budget = 0.04;       // loss since the week's start that halts trading
  double max_position_risk = 0.02;        // the most one order may risk
  double max_portfolio_risk = 0.10;       // the most all open trades plus this order may risk
  std::uint64_t max_open_positions = 12;  // open trades at which further opens are refused
};

// One trading halt, as stored in risk.json and repeated in the journal.
struct Halt {
  double at = 0;       // epoch seconds when it was raised
  std::string kind;    // "drawdown" or "weekly_loss" (any text is read back)
  std::string reason;  // the message that raised it
  double equity = 0;   // account equity then, dollars
  double high_water = 0;
  std::optional<double> iv_rank;  // of the proposal that tripped it
};

// Where the equity a proposal is judged at came from.
enum class EquitySource {
  Broker,  // read from the broker in this run: a measurement of the account
  Stated,  // stated on the command line, or a placeholder: nobody's measurement
};

// What an opening order is judged against.
struct Exposure {
  std::optional<double> iv_rank;  // copied into a new halt
  double equity = 0;              // dollars
  std::uint64_t open_positions = 0;
  double open_risk = 0;  // dollars at risk in the open trades
  EquitySource equity_source = EquitySource::Stated;
};

// The survival layer's answer for one opening order.
struct RiskCheck {
  struct Clear {};
  struct Refuse {
    std::string message;  // a per-order limit refuses
  };
  struct NewHalt {
    Halt halt;  // just raised; the caller stores and journals it
  };
  struct AlreadyHalted {
    std::string message;
  };
  std::variant<Clear, Refuse, NewHalt, AlreadyHalted> value;

  bool clear() const { return std::holds_alternative<Clear>(value); }
  const Refuse* refuse() const { return std::get_if<Refuse>(&value); }
  const NewHalt* new_halt() const { return std::get_if<NewHalt>(&value); }
  const AlreadyHalted* already_halted() const { return std::get_if<AlreadyHalted>(&value); }
};

// The persisted state. A fresh state (no file) is all defaults: no halt, every number 0.
struct RiskState {
  double high_water = 0;  // highest equity seen; only rises
  std::optional<Halt> halt;
  double week_start_equity = 0;  // equity at the week's first proposal
  std::int64_t week_epoch = 0;   // (whole days since the epoch + 3) / 7: weeks start Monday UTC
  // The time of the latest halt a person cleared; every halt raised no later is cleared. The
  // journal keeps each halt too, so one whose save failed is not lost (`restore`).
  std::optional<double> cleared_halt_at = std::nullopt;

  // Whether `halt` is one a person has cleared: raised no later than `cleared_halt_at`.
  bool cleared(const Halt& halt) const;

  // Takes `journalled`, a halt the journal holds, as the halt in force when the state holds
  // none and no person has cleared it: a halt whose save failed stands all the same. Returns
  // whether it did.
  bool restore(const Halt& journalled);

  // Keeps the high-water mark and the week's start current with the proposal's equity, before
  // anything is judged: the mark rises to it, and it starts a later week (weeks begin Monday
  // 00:00 UTC) or a week with no start; a stored later week stays, so a clock that was ahead
  // cannot restart the week's loss. Returns the state to judge the proposal against. Only an
  // equity read from the broker moves this state itself: a stated one judges the proposal as
  // a measured one would, but saved it would loosen or jam every later run's limits.
  RiskState track(const Exposure& exposure, double now);

  // Judges one order that adds risk: a halt in force, then drawdown and weekly loss (which
  // raise a halt stamped `now`), then the open-trade count, the order's own risk and the
  // portfolio's. Judge the state `track` returns. Changes nothing and cannot fail.
  RiskCheck evaluate_open(const Exposure& exposure, const Limits& limits, double order_risk,
                          double now) const;
};

// A halt's time as the messages print it, "day {days} {hh}:{mm}Z" in UTC: 1765000000 is
// "day 20428 05:46Z". Times that are not finite or beyond 64 bits are clamped, never a fault.
std::string halt_time(double at);

// Reads trade-limits.json: an object with all five keys, or an array of the five values in
// field order. The first error rejects the whole text; the error ends " at line L column C".
Result<Limits, std::string> read_limits(std::string_view json_text);

// Reads risk.json: every key may be missing and keeps its default; a halt needs all its keys
// but "iv_rank"; "cleared_halt_at" is a number or null. The first error rejects the whole
// text.
Result<RiskState, std::string> read_risk_state(std::string_view json_text);

// The state to save when a run's `state` (which was `read` at the run's start) goes over
// `on_disk`, what other runs saved meanwhile. A halt on disk stays; a halt this run raised or
// restored is kept when the disk has none, unless a `resume` since this run's read cleared
// it; a halt this run only read follows the disk, which a `resume` may have cleared. The
// later clearing and the higher high-water mark win. The later week wins with its starting
// equity; within one week the starting equity already on disk stays, as it is the equity of
// the week's first proposal.
RiskState merge_risk_states(const RiskState& state, const RiskState& read,
                            const RiskState& on_disk);

// Writes risk.json's text: pretty JSON with two-space indent, keys in field order, "halt" and
// "iv_rank" null when absent, "cleared_halt_at" only when present, no final line feed.
std::string write_risk_state(const RiskState& state);

// Runs the presence-check `program` (no shell; looked up on PATH unless the name holds a
// folder) as `program arm --reason <reason>`, without the broker keys in its environment, and
// waits for it to end, at most 10 minutes. True only when it exited with status 0; a missing
// program, another status, a signal or a program still running at the bound (it is then
// ended) is false.
bool arm_via_biometric(const std::string& program, const std::string& reason);

}  // namespace vavev_aziz
