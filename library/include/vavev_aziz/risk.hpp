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
  // Where the journal holds this halt's line (its first byte's offset), when this run wrote
  // it there or found it there; not kept in risk.json.
  std::optional<std::uint64_t> journal_offset = std::nullopt;
};

// What the journal shows of halts, for a state that may hold none: the halt on its last halted
// line (with `journal_offset`), the latest by time stamp, and how far the journal was read (up
// to and including its last line feed).
struct JournalHalts {
  std::optional<Halt> last_written;
  std::optional<Halt> latest;
  std::uint64_t read_through = 0;
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
  // The time stamp of the latest halt a person cleared, still written for readers that know
  // no place (below). Only a state cleared before places were recorded is judged by it: every
  // halt stamped no later counts as cleared there.
  std::optional<double> cleared_halt_at = std::nullopt;
  // The journal keeps each halt too, so one whose save failed is not lost (`restore`). What a
  // person cleared is a place in the journal: its length (through its last line feed) when
  // `resume` read it. Every halt on a line before it is cleared; one written after it stands
  // until the next `resume`, whatever its time stamp or the clock of the run that wrote it.
  std::optional<std::uint64_t> cleared_journal_length = std::nullopt;

  // Takes the journal's halt as the halt in force when the state holds none and no person has
  // cleared it: a halt whose save failed stands all the same. That halt is the last one
  // written, cleared when its line starts before `cleared_journal_length`; a journal read
  // shorter than that place is not the one it was taken in (replaced since), so its halts all
  // stand. A state cleared before places were recorded judges the latest halt by its time
  // stamp instead. Returns whether it took one.
  bool restore(const JournalHalts& journal);

  // Clears the halt in force, this state's or else the journal's (`restore`), and records the
  // place the journal was read to: every halt written before it is cleared, the one shown and
  // any other alike. The place never moves back, unless the journal is now shorter than the
  // place recorded (`journal_size`, its size now), which only a replaced journal is. Returns
  // the halt cleared; nothing, with the state unchanged, when no halt is in force.
  std::optional<Halt> clear(const JournalHalts& journal, std::uint64_t journal_size);

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
// but "iv_rank"; "cleared_journal_length" is a whole number or null, "cleared_halt_at" a
// number or null. The first error rejects the whole text.
Result<RiskState, std::string> read_risk_state(std::string_view json_text);

// The state to save when a run's `state` (which was `read` at the run's start) goes over
// `on_disk`, what other runs saved meanwhile. A halt on disk stays; a halt this run raised or
// restored is kept when the disk has none, unless a `resume` since this run's read cleared
// it (read the journal past the halt's line; a halt the journal does not hold no `resume`
// has seen); a halt this run only read follows the disk, which a `resume` may have cleared.
// The disk's cleared place stands (a `resume` may have moved it back, for a replaced
// journal), the later clearing time and the higher high-water mark win. The later week wins
// with its starting equity; within one week the starting equity already on disk stays, as it
// is the equity of the week's first proposal.
RiskState merge_risk_states(const RiskState& state, const RiskState& read,
                            const RiskState& on_disk);

// Writes risk.json's text: pretty JSON with two-space indent, keys in field order, "halt" and
// "iv_rank" null when absent, "cleared_halt_at" and then "cleared_journal_length" only when
// present, no final line feed.
std::string write_risk_state(const RiskState& state);

// Runs the presence-check `program` (no shell; looked up on PATH unless the name holds a
// folder) as `program arm --reason <reason>`, without the broker keys in its environment, and
// waits for it to end, at most 10 minutes. True only when it exited with status 0; a missing
// program, another status, a signal or a program still running at the bound (it is then
// ended) is false.
bool arm_via_biometric(const std::string& program, const std::string& reason);

}  // namespace vavev_aziz
