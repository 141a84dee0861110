// The survival layer's judgement and its two files.
//
// trade-limits.json is written by the owner and only read here: one object with the keys
// "max_drawdown", "weekly_loss_budget", "max_position_risk", "max_portfolio_risk" (numbers) and
// "max_open_positions" (a non-negative integer), all required, other keys ignored; or an array
// of the five values in that order.
//
// risk.json is the state of record, pretty JSON without a final line feed:
//
//   { "high_water": 104000.0,
//     "halt": { "at": 1765000000.0, "kind": "drawdown", "reason": "...", "equity": 93000.0,
//               "high_water": 104000.0, "iv_rank": null },
//     "week_start_equity": 98000.0, "week_epoch": 2918, "cleared_halt_at": 1764000000.0,
//     "cleared_journal_length": 48213 }
//
// "halt" is null when trading is not halted. "cleared_halt_at" (the time stamp of the latest
// halt a person cleared) and "cleared_journal_length" (how far the journal had been read, in
// bytes, when that was) are written only once a halt has been cleared; every halt on a journal
// line before that length is cleared. Every top-level key may be missing on reading.
#include "vavev_aziz/risk.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz {
namespace {

using json::Error;
using json::Json;
using json::Presence;
using json::Reader;
using json::Tok;

constexpr std::int64_t kSecondsPerDay = 86400;

// The value cut toward zero to whole seconds; NaN is 0 and values beyond 64 bits saturate,
// so no stored time can make the conversion undefined.
std::int64_t whole_seconds(double at) {
  if (std::isnan(at)) return 0;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (at >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (at <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(at);
}

// The later of two clearings; none when neither was made.
std::optional<double> later(std::optional<double> a, std::optional<double> b) {
  if (!a) return b;
  if (!b) return a;
  return std::max(*a, *b);
}

// (whole days since the epoch + 3) / 7, truncating toward zero: weeks begin Monday 00:00 UTC.
// A time that is not a number counts as the epoch; one beyond 64 bits is clamped.
std::int64_t week_number(double now) {
  const double days = std::floor(now / kSecondsPerDay);
  constexpr double kLimit = 9.0e18;  // well inside 64 bits, so the + 3 cannot overflow
  std::int64_t d = 0;
  if (days >= kLimit)
    d = static_cast<std::int64_t>(kLimit);
  else if (days <= -kLimit)
    d = -static_cast<std::int64_t>(kLimit);
  else if (!std::isnan(days))
    d = static_cast<std::int64_t>(days);
  return (d + 3) / 7;
}

// Whether a `resume` made after `read` was loaded cleared `halt`, which this run raised or
// restored: it read the journal past the halt's line. A halt the journal does not hold no
// `resume` has seen. A clearing that records no place (an older version's) covers every halt
// stamped no later.
bool cleared_since(const Halt& halt, const RiskState& read, const RiskState& on_disk) {
  if (on_disk.cleared_journal_length) {
    return on_disk.cleared_journal_length != read.cleared_journal_length && halt.journal_offset &&
           *halt.journal_offset < *on_disk.cleared_journal_length;
  }
  return later(read.cleared_halt_at, on_disk.cleared_halt_at) != read.cleared_halt_at &&
         halt.at <= *on_disk.cleared_halt_at;
}

Halt raise(std::string kind, std::string reason, const RiskState& state, const Exposure& exposure,
           double now) {
  return Halt{
      now, std::move(kind), std::move(reason), exposure.equity, state.high_water, exposure.iv_rank};
}

Result<void, Error> read_halt(Reader& r, std::optional<Halt>& target) {
  if (r.null()) {
    target.reset();
    return {};
  }
  Halt h;
  auto done = json::read_object(r, "struct Halt",
                                {
                                    json::field("at", h.at, Presence::Required),
                                    json::field("kind", h.kind, Presence::Required),
                                    json::field("reason", h.reason, Presence::Required),
                                    json::field("equity", h.equity, Presence::Required),
                                    json::field("high_water", h.high_water, Presence::Required),
                                    json::field("iv_rank", h.iv_rank),
                                });
  if (!done) return done;
  target = std::move(h);
  return {};
}

// The array form: exactly the five values in field order.
Result<void, Error> read_limits_array(Reader& r, Limits& l) {
  constexpr std::size_t kCount = 5;
  std::size_t index = 0;
  auto done = json::read_array(r, "struct Limits", [&](Reader& r) -> Result<void, Error> {
    switch (index++) {
      case 0:
        return r.read_into(l.max_drawdown);
      case 1:
        return r.read_into(l.weekly_loss_budget);
      case 2:
        return r.read_into(l.max_position_risk);
      case 3:
        return r.read_into(l.max_portfolio_risk);
      case 4:
        return r.read_into(l.max_open_positions);
      default:
        return Err{r.error_at(
            fmt::format("invalid length {}, expected {} elements in sequence", index, kCount),
            r.last_end())};
    }
  });
  if (!done) return done;
  if (index < kCount)
    return Err{r.error_at(
        fmt::format("invalid length {}, expected struct Limits with {} elements", index, kCount),
        r.last_end())};
  return {};
}

}  // namespace

std::string halt_time(double at) {
  const std::int64_t secs = whole_seconds(at);
  // Floor division keeps the time of day in 00:00..23:59 even before the epoch.
  std::int64_t days = secs / kSecondsPerDay;
  std::int64_t of_day = secs % kSecondsPerDay;
  if (of_day < 0) {
    of_day += kSecondsPerDay;
    --days;
  }
  return fmt::format("day {} {:02}:{:02}Z", days, of_day / 3600, of_day % 3600 / 60);
}

RiskState RiskState::track(const Exposure& exposure, double now) {
  RiskState judged = *this;
  const double equity = exposure.equity;
  if (equity > judged.high_water) judged.high_water = equity;
  const std::int64_t week = week_number(now);
  if (week > judged.week_epoch) {
    judged.week_epoch = week;
    judged.week_start_equity = equity;
  } else if (!(judged.week_start_equity > 0)) {
    judged.week_start_equity = equity;
  }
  if (exposure.equity_source == EquitySource::Broker) {
    high_water = judged.high_water;
    week_epoch = judged.week_epoch;
    week_start_equity = judged.week_start_equity;
  }
  return judged;
}

RiskCheck RiskState::evaluate_open(const Exposure& exposure, const Limits& limits,
                                   double order_risk, double now) const {
  if (halt) {
    return {RiskCheck::AlreadyHalted{fmt::format(
        "HALTED since {} ({}) \u2014 opens are refused until an operator clears it. Closing "
        "positions is still allowed.",
        halt_time(halt->at), halt->kind)}};
  }
  const double equity = exposure.equity;

  double dd = 0;
  if (high_water > 0) dd = std::max(0.0, (high_water - equity) / high_water);
  if (dd >= limits.max_drawdown) {
    auto reason =
        fmt::format("drawdown {}% reached the {}% limit (equity {} vs high-water {})",
                    numbers::fixed(dd * 100, 1), numbers::fixed(limits.max_drawdown * 100, 1),
                    numbers::fixed(equity, 2), numbers::fixed(high_water, 2));
    return {RiskCheck::NewHalt{raise("drawdown", std::move(reason), *this, exposure, now)}};
  }

  double wk = 0;
  if (week_start_equity > 0) wk = (equity - week_start_equity) / week_start_equity;
  if (wk <= -limits.weekly_loss_budget) {
    auto reason = fmt::format("week is {}%, past the {}% loss budget (from {} to {})",
                              numbers::fixed(wk * 100, 1),
                              numbers::fixed(limits.weekly_loss_budget * -100, 1),
                              numbers::fixed(week_start_equity, 2), numbers::fixed(equity, 2));
    return {RiskCheck::NewHalt{raise("weekly_loss", std::move(reason), *this, exposure, now)}};
  }

  if (exposure.open_positions >= limits.max_open_positions) {
    return {RiskCheck::Refuse{fmt::format("{} open positions is the limit ({})",
                                          exposure.open_positions, limits.max_open_positions)}};
  }

  // Without a positive equity the ratios cannot be formed; the front end refuses
  // risk-increasing orders while equity is unknown.
  if (!(equity > 0)) return {RiskCheck::Clear{}};

  // A ratio that is not a number (an order risk of NaN) must refuse, not slip past the limit:
  // so the test is "not within the limit" rather than "over it".
  const double p = order_risk / equity;
  if (!(p <= limits.max_position_risk)) {
    return {RiskCheck::Refuse{fmt::format(
        "this order risks {}% of equity, over the {}% per-position limit",
        numbers::fixed(p * 100, 2), numbers::fixed(limits.max_position_risk * 100, 2))}};
  }
  const double q = (order_risk + exposure.open_risk) / equity;
  if (!(q <= limits.max_portfolio_risk)) {
    return {RiskCheck::Refuse{fmt::format(
        "open risk would reach {}% of equity, over the {}% portfolio limit",
        numbers::fixed(q * 100, 1), numbers::fixed(limits.max_portfolio_risk * 100, 1))}};
  }
  return {RiskCheck::Clear{}};
}

bool RiskState::restore(const JournalHalts& journal) {
  if (halt) return false;
  if (cleared_journal_length) {
    const auto& last = journal.last_written;
    if (!last) return false;
    const bool same_journal = journal.read_through >= *cleared_journal_length;
    if (same_journal && last->journal_offset && *last->journal_offset < *cleared_journal_length)
      return false;
    halt = last;
    return true;
  }
  const auto& latest = journal.latest;
  if (!latest || (cleared_halt_at && latest->at <= *cleared_halt_at)) return false;
  halt = latest;
  return true;
}

std::optional<Halt> RiskState::clear(const JournalHalts& journal, std::uint64_t journal_size) {
  restore(journal);
  if (!halt) return std::nullopt;
  std::optional<Halt> cleared = std::exchange(halt, std::nullopt);
  // Still kept for readers that judge by time: every halt known now counts as cleared.
  double at = cleared->at;
  for (const auto& h : {journal.last_written, journal.latest})
    if (h) at = std::max(at, h->at);
  cleared_halt_at = later(cleared_halt_at, at);
  // A place beyond this read is another `resume`'s that read further, unless the journal is
  // shorter now than that place: then it was taken in a journal since replaced.
  std::uint64_t place = journal.read_through;
  if (cleared_journal_length && *cleared_journal_length <= journal_size)
    place = std::max(place, *cleared_journal_length);
  cleared_journal_length = place;
  return cleared;
}

Result<Limits, std::string> read_limits(std::string_view json_text) {
  Reader r(json_text);
  Limits l;
  Result<void, Error> done;
  if (r.peek().kind == Tok::BeginArray) {
    done = read_limits_array(r, l);
  } else {
    done = json::read_object(
        r, "struct Limits",
        {
            json::field("max_drawdown", l.max_drawdown, Presence::Required),
            json::field("weekly_loss_budget", l.weekly_loss_budget, Presence::Required),
            json::field("max_position_risk", l.max_position_risk, Presence::Required),
            json::field("max_portfolio_risk", l.max_portfolio_risk, Presence::Required),
            json::field("max_open_positions", l.max_open_positions, Presence::Required),
        });
  }
  if (!done) return Err{done.error()};
  if (auto end = r.finish(); !end) return Err{end.error()};
  return l;
}

Result<RiskState, std::string> read_risk_state(std::string_view json_text) {
  Reader r(json_text);
  RiskState s;
  auto done = json::read_object(
      r, "struct RiskState",
      {
          json::field("high_water", s.high_water),
          json::Field{"halt", Presence::Optional, [&s](Reader& r) { return read_halt(r, s.halt); }},
          json::field("week_start_equity", s.week_start_equity),
          json::field("week_epoch", s.week_epoch),
          json::field("cleared_halt_at", s.cleared_halt_at),
          json::field("cleared_journal_length", s.cleared_journal_length),
      });
  if (!done) return Err{done.error()};
  if (auto end = r.finish(); !end) return Err{end.error()};
  return s;
}

RiskState merge_risk_states(const RiskState& state, const RiskState& read,
                            const RiskState& on_disk) {
  RiskState merged = on_disk;
  // A halt this run raised or restored stays, unless a `resume` made since this run read the
  // state has cleared it, having found it in the journal.
  if (!merged.halt && state.halt && !read.halt && !cleared_since(*state.halt, read, on_disk))
    merged.halt = state.halt;
  if (!merged.cleared_journal_length) merged.cleared_journal_length = state.cleared_journal_length;
  merged.cleared_halt_at = later(state.cleared_halt_at, on_disk.cleared_halt_at);
  if (state.high_water > merged.high_water) merged.high_water = state.high_water;
  const bool later_week = state.week_epoch > on_disk.week_epoch;
  const bool same_week_unset =
      state.week_epoch == on_disk.week_epoch && !(on_disk.week_start_equity > 0);
  if (later_week || same_week_unset) {
    merged.week_epoch = state.week_epoch;
    merged.week_start_equity = state.week_start_equity;
  }
  return merged;
}

std::string write_risk_state(const RiskState& state) {
  Json halt = nullptr;
  if (state.halt) {
    const auto& h = *state.halt;
    halt = Json::object();
    halt["at"] = h.at;
    halt["kind"] = h.kind;
    halt["reason"] = h.reason;
    halt["equity"] = h.equity;
    halt["high_water"] = h.high_water;
    halt["iv_rank"] = json::number_or_null(h.iv_rank);
  }
  Json out = Json::object();
  out["high_water"] = state.high_water;
  out["halt"] = std::move(halt);
  out["week_start_equity"] = state.week_start_equity;
  out["week_epoch"] = state.week_epoch;
  if (state.cleared_halt_at) out["cleared_halt_at"] = *state.cleared_halt_at;
  if (state.cleared_journal_length) out["cleared_journal_length"] = *state.cleared_journal_length;
  return json::pretty(out);
}

bool arm_via_biometric(const std::string& program, const std::string& reason) {
  platform::RunOptions options;
  // A person at the machine answers within minutes; a check that hangs must not hold the
  // command for ever, and ending it leaves the halt standing.
  options.limit = std::chrono::minutes(10);
  options.environment = env::without_broker_keys();
  // Only the exit status counts; whatever the program prints is read and dropped.
  options.output_limit = 0;
  return platform::run(program, {"arm", "--reason", reason}, options).exited_with(0);
}

}  // namespace vavev_aziz
