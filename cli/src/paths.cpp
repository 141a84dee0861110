#include "paths.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::Err;
using vavev_aziz::Result;

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

// The folder an account's state gets when it has none yet, the same for every spelling that
// reaches the same key names: the key names' suffix (the account upper-cased, "-" as "_"),
// lower-cased with "-" between words, then made a folder name as above. So my-book, my_book,
// MY-BOOK and My-Book all give my-book; names already written that way keep their folder.
std::string canonical_folder(std::string_view account) {
  std::string spelled = vavev_aziz::text::ascii_lower(vavev_aziz::alpaca::book_suffix(account));
  std::replace(spelled.begin(), spelled.end(), '_', '-');
  return account_folder(spelled);
}

// Whether the existing state folder `name` may hold the state of `account`: it is the folder
// this spelling always had, or a folder whose name, taken as an account, reaches the same key
// names (compared through their folders, so letter case does not count, as on a case-blind
// disk).
bool holds_state_of(const std::string& name, std::string_view account, const std::string& canon) {
  return name == canon || name == account_folder(account) || canonical_folder(name) == canon;
}

// The account's state folder under `trade` (base/var/trade): the one folder that already holds
// its state, whichever spelling made it, or the canonical folder when there is none yet. More
// than one is refused, since each would be a separate risk state for one account.
Result<fs::path, std::string> account_state_folder(const fs::path& trade,
                                                   std::string_view account) {
  const std::string canon = canonical_folder(account);
  std::vector<std::string> held;
  std::error_code ec;
  for (fs::directory_iterator it(trade, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    const std::string name = it->path().filename().string();
    if (it->is_directory(kind) && holds_state_of(name, account, canon)) held.push_back(name);
  }
  if (held.empty()) return trade / canon;
  if (held.size() == 1) return trade / held.front();
  std::sort(held.begin(), held.end());
  std::string folders;
  for (const auto& name : held)
    folders += fmt::format("\n  {}", (trade / name).string());
  return Err{fmt::format(
      "ALPACA_ACCOUNT \"{}\" names one account, but its state is kept in more than one folder:{}"
      "\n  Refusing to pick one: each holds its own risk state, journal and diary. Merge them "
      "into one folder (keep any halt) and remove the others.",
      account, folders)};
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
  // An empty HOME is no home: joined with it, the paths would name the current folder.
  if (!home || home->empty()) return std::nullopt;
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

Result<fs::path, std::string> state_path(std::string_view name) {
  auto base = base_folder();
  if (!base) return Err{std::string("no HOME")};
  const auto trade = *base / "var" / "trade";
  auto account = vavev_aziz::env::text("ALPACA_ACCOUNT");
  if (!account || account->empty() || *account == "default") return trade / name;
  auto folder = account_state_folder(trade, *account);
  if (!folder) return Err{std::move(folder).error()};
  return *folder / name;
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

Exit no_home(std::ostream& err) {
  return no_path(err, "no HOME");
}

Exit no_path(std::ostream& err, const std::string& reason) {
  return fail(err, reason);
}

}  // namespace trade
