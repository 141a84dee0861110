#include "ask_state.hpp"

#include <cstdint>
#include <utility>

#include <fmt/format.h>

#include "paths.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
namespace platform = vavev_aziz::platform;
using vavev_aziz::Err;
using vavev_aziz::Result;
using vavev_aziz::RiskState;

// Reads and parses an optional file: its value, nothing when the file does not exist, or the
// reason it does not read (the platform's error text or the reader's).
template <class T, class Parse>
Result<std::optional<T>, std::string> read_optional(const fs::path& path, Parse parse) {
  auto text = platform::read_file(path);
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) return std::optional<T>{};
    return Err{text.error().message()};
  }
  auto value = parse(*text);
  if (!value) return Err{std::move(value.error())};
  return std::optional<T>{std::move(*value)};
}

fs::path aside_name(const fs::path& path, double now) {
  fs::path aside = path;
  aside += fmt::format(".corrupt-{}", static_cast<std::int64_t>(now));
  return aside;
}

// Renames `path` to `aside` unless something already stands there: an earlier damaged copy is
// never overwritten.
std::error_code move_aside(const fs::path& path, const fs::path& aside) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(aside, ec)))
    return std::make_error_code(std::errc::file_exists);
  fs::rename(path, aside, ec);
  return ec;
}

}  // namespace

LoadedRisk load_risk_state(const fs::path& path, double now, std::ostream& err) {
  auto state = read_optional<RiskState>(path, vavev_aziz::read_risk_state);
  if (state) return {state->value_or(RiskState{})};

  // Read as empty, the file would be replaced by this run's save and a halt it holds would be
  // lifted without anyone at the machine; kept aside, it can still be inspected and restored.
  // Under the lock, and only when it still does not read: another run may have just saved a
  // good state in its place, and that must not be moved away.
  const fs::path aside = aside_name(path, now);
  const std::string shown = path.string();
  std::error_code ec;
  if (auto lock = platform::FileLock::beside(path); !lock) {
    ec = lock.error();
  } else {
    state = read_optional<RiskState>(path, vavev_aziz::read_risk_state);
    if (state) return {state->value_or(RiskState{})};
    ec = move_aside(path, aside);
  }
  if (ec) {
    err << fmt::format(
        "tovra trade: WARNING: risk state unreadable ({}): {} \u2014 could not set it aside as "
        "{}: {}\n",
        shown, state.error(), aside.string(), ec.message());
    return {{}, false};
  }
  err << fmt::format(
      "tovra trade: WARNING: risk state unreadable ({}): {} \u2014 set aside as {}\n", shown,
      state.error(), aside.string());
  return {};
}

Result<RiskState, std::error_code> save_risk(const fs::path& path, const RiskState& state,
                                             const RiskState& read) {
  RiskState merged;
  auto saved = platform::update_file(
      path, [&](const std::optional<std::string>& current) -> Result<std::string, std::error_code> {
        RiskState on_disk;
        if (current) {
          if (auto parsed = vavev_aziz::read_risk_state(*current)) {
            on_disk = std::move(*parsed);
          } else if (auto ec = move_aside(path, aside_name(path, platform::now_seconds()))) {
            return Err{ec};  // damaged since this run loaded it, and it cannot be kept aside
          }
        }
        merged = vavev_aziz::merge_risk_states(state, read, on_disk);
        return vavev_aziz::write_risk_state(merged);
      });
  if (!saved) return Err{saved.error()};
  return merged;
}

vavev_aziz::JournalHalts journal_halts(const vavev_aziz::Trades& trades) {
  const auto halt = [](const vavev_aziz::HaltEntry& h) {
    return vavev_aziz::Halt{h.at, h.kind, h.reason, h.equity, h.high_water, h.iv_rank};
  };
  vavev_aziz::JournalHalts journal;
  if (const auto& last = trades.last_halt()) {
    journal.last_written = halt(last->halt);
    journal.last_written->journal_offset = last->line_start;
  }
  if (const auto& latest = trades.latest_halt()) journal.latest = halt(*latest);
  journal.read_through = trades.read_through();
  return journal;
}

void restore_journalled_halt(RiskState& state, const vavev_aziz::JournalHalts& journal,
                             std::ostream& err) {
  if (!state.restore(journal)) return;
  err << fmt::format(
      "tovra trade: NOTE: the journal holds a {} halt of {} that the risk state does not; it "
      "stands until a person clears it with `tovra-trade resume`\n",
      state.halt->kind, vavev_aziz::halt_time(state.halt->at));
}

Result<std::optional<vavev_aziz::Halt>, std::string> clear_halt(
    const fs::path& path, const vavev_aziz::JournalHalts& journal, const fs::path& journal_path) {
  if (auto made = platform::create_folders(path.parent_path()); !made)
    return Err{made.error().message()};
  auto lock = platform::FileLock::beside(path);
  if (!lock) return Err{lock.error().message()};
  auto state = read_optional<RiskState>(path, vavev_aziz::read_risk_state);
  if (!state) return Err{std::move(state).error()};
  RiskState cleared = state->value_or(RiskState{});
  std::error_code ec;
  const auto size = fs::file_size(journal_path, ec);
  auto halt = cleared.clear(journal, ec ? 0 : size);
  if (!halt) return std::optional<vavev_aziz::Halt>{};
  if (auto saved = platform::replace_file(path, vavev_aziz::write_risk_state(cleared)); !saved)
    return Err{saved.error().message()};
  return halt;
}

std::string_view unsaved_risk_outcome(const RiskState& state, const RiskState& read) {
  if (state.halt && !read.halt && !state.halt->journal_offset)
    return "the halt this run raised is not in the journal either: it will not outlast this run";
  return "a halt stands all the same: the journal keeps it until `tovra-trade resume`";
}

vavev_aziz::Limits load_limits(std::ostream& err) {
  const auto folder = config_folder();
  if (!folder) return {};
  const fs::path path = *folder / "trade-limits.json";
  auto limits = read_optional<vavev_aziz::Limits>(path, vavev_aziz::read_limits);
  if (limits) return limits->value_or(vavev_aziz::Limits{});
  err << fmt::format(
      "tovra trade: WARNING: limits file unreadable ({}): {} \u2014 using the default limits\n",
      path.string(), limits.error());
  return {};
}

}  // namespace trade
