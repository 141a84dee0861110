#include "ask_state.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "paths.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::Err;
using vavev_aziz::Result;

// Reads and parses an optional file: its value, nothing when the file does not exist, or the
// reason it does not read (the platform's error text or the reader's).
template <class T, class Parse>
Result<std::optional<T>, std::string> read_optional(const fs::path& path, Parse parse) {
  auto text = vavev_aziz::platform::read_file(path);
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) return std::optional<T>{};
    return Err{text.error().message()};
  }
  auto value = parse(*text);
  if (!value) return Err{std::move(value.error())};
  return std::optional<T>{std::move(*value)};
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
  auto state = read_optional<vavev_aziz::RiskState>(path, vavev_aziz::read_risk_state);
  if (state) return {state->value_or(vavev_aziz::RiskState{})};

  // Read as empty, the file would be replaced by this run's save and a halt it holds would be
  // lifted without anyone at the machine; kept aside, it can still be inspected and restored.
  fs::path aside = path;
  aside += fmt::format(".corrupt-{}", static_cast<std::int64_t>(now));
  const std::string shown = path.string();
  if (const auto ec = move_aside(path, aside)) {
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
