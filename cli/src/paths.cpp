#include "paths.hpp"

#include <fmt/format.h>

#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::Err;

// The parent of `p`, absent for an empty path or a bare root: "trade.json" has the parent ""
// and "" has none, so a relative name alone has one parent level but not two.
std::optional<fs::path> parent_of(const fs::path& p) {
  if (p.empty() || !p.has_relative_path()) return std::nullopt;
  return p.parent_path();
}

std::optional<fs::path> base_folder() {
  auto folder = config_folder();
  if (!folder) return std::nullopt;
  return parent_of(*folder);
}

bool account_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// The folder name of an account: one "_" for each character outside A-Z, a-z, 0-9 and "-",
// however many bytes it takes (the value is valid UTF-8, so continuation bytes are skipped).
std::string account_folder(std::string_view account) {
  std::string folder;
  for (char c : account) {
    if (account_character(c))
      folder += c;
    else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      folder += '_';
  }
  return folder;
}

bool something_at(const fs::path& p) {
  std::error_code ec;
  auto status = fs::status(p, ec);
  return !ec && fs::exists(status);
}

}  // namespace

std::optional<fs::path> config_path() {
  if (auto config = vavev_aziz::env::text("TOVRA_TRADE_CONFIG")) return fs::path(*config);
  if (auto home = vavev_aziz::env::text("TOVRA_HOME"))
    return fs::path(*home) / "config" / "trade.json";
  auto home = vavev_aziz::env::text("HOME");
  if (!home) return std::nullopt;
  const auto tovra = fs::path(*home) / ".tovra";
  std::error_code ec;
  if (fs::is_directory(tovra, ec)) return tovra / "config" / "trade.json";
  return fs::path(*home) / ".vuzado" / "config" / "trade.json";
}

std::optional<fs::path> config_folder() {
  auto config = config_path();
  if (!config) return std::nullopt;
  return parent_of(*config);
}

std::optional<fs::path> memory_path() {
  auto base = base_folder();
  if (!base) return std::nullopt;
  return *base / "var" / "trade" / "denials.json";
}

std::optional<fs::path> state_path(std::string_view name) {
  auto base = base_folder();
  if (!base) return std::nullopt;
  auto folder = *base / "var" / "trade";
  auto account = vavev_aziz::env::text("ALPACA_ACCOUNT");
  if (account && !account->empty() && *account != "default") folder /= account_folder(*account);
  return folder / name;
}

vavev_aziz::Result<vavev_aziz::Gate, std::string> load_gate() {
  auto path = config_path();
  if (!path) return Err{std::string("no HOME \u2014 cannot resolve ~/.tovra/config/trade.json")};
  const std::string shown = path->string();
  if (!something_at(*path))
    return Err{fmt::format(
        "no rule table at {} \u2014 run `tovra trade rules --init` to write the starter table",
        shown)};
  auto text = vavev_aziz::platform::read_file(*path);
  if (!text) return Err{fmt::format("{}: {}", shown, text.error().message())};
  auto rules = vavev_aziz::read_rules(*text);
  if (!rules) return Err{fmt::format("{}: {}", shown, rules.error())};
  return vavev_aziz::Gate{std::move(*rules)};
}

int no_home(std::ostream& err) {
  err << "tovra trade: no HOME\n";
  return 3;
}

}  // namespace trade
