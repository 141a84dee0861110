#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::alpaca {
namespace {

// The loopback override in `variable`, trimmed, when it names this machine with a port;
// anything else is ignored so that a stray value can never send the keys elsewhere.
std::optional<std::string> loopback_override(const char* variable) {
  auto value = env::text(variable);
  if (!value) return std::nullopt;
  const std::string_view url = text::trim(*value);
  for (std::string_view prefix : {"http://127.0.0.1:", "http://localhost:"}) {
    if (!url.starts_with(prefix)) continue;
    // "http://127.0.0.1:80@elsewhere" has the right prefix but names another host.
    const std::string_view authority = url.substr(7, url.find_first_of("/?#", 7) - 7);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;
    return std::string(url);
  }
  return std::nullopt;
}

// What the secrets program gave for each name, found or not. One command builds the broker
// client several times, each build looks its credentials up afresh, and a slow or hanging
// program costs its whole time limit per question; so the program is asked once per name.
// The answers live as long as the process because a process is one command: the next command
// asks again and sees any change in the vault.
std::map<std::string, std::optional<std::string>>& vault_answers() {
  static std::map<std::string, std::optional<std::string>> answers;
  return answers;
}

// The secrets program's answer for `name`: "get NAME -p tovra-trade", then "get NAME".
std::optional<std::string> ask_vault(const std::string& name) {
  auto& answers = vault_answers();
  if (const auto known = answers.find(name); known != answers.end()) return known->second;
  auto found = read_nonempty({secrets_bin(), {"get", name, "-p", "tovra-trade"}});
  if (!found) found = read_nonempty({secrets_bin(), {"get", name}});
  answers.emplace(name, found);
  return found;
}

}  // namespace

std::optional<std::string> read_nonempty(const Command& command) {
  platform::RunOptions options;
  options.limit = command.limit;
  auto outcome = platform::run(command.program, command.args, options);
  if (!outcome.exited_with(0)) return std::nullopt;
  const std::string out = text::lossy_utf8(outcome.out);
  const std::string_view trimmed = text::trim(out);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::string secrets_bin() {
  if (auto bin = env::text("SECRETS_BIN"); bin && !text::is_blank(*bin)) return *bin;
  if (auto home = env::text("HOME")) {
    std::string candidate = *home + "/.local/bin/secrets";
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return "secrets";
}

Result<std::string, AlpacaError> env_or_vault(const std::string& name) {
  if (auto value = env::text(name.c_str()); value && !text::is_blank(*value))
    return std::string(text::trim(*value));
  if (auto found = ask_vault(name)) return std::move(*found);
  return Err{AlpacaError::no_credentials()};
}

void forget_vault_answers() {
  vault_answers().clear();
}

std::string base_for(std::string_view key, const std::optional<std::string>& paper_trade) {
  if (auto url = loopback_override("ALPACA_BASE_URL")) return std::move(*url);
  const bool live_asked =
      paper_trade && (*paper_trade == "false" || *paper_trade == "FALSE" || *paper_trade == "0");
  if (live_asked && !key.starts_with("PK")) return std::string(kLiveEndpoint);
  return std::string(kPaperEndpoint);
}

std::string data_base() {
  // Only beside a loopback trading address: prices from a local server must never size or
  // revalidate orders that go to the real broker.
  if (!loopback_override("ALPACA_BASE_URL")) return std::string(kDataEndpoint);
  if (auto url = loopback_override("ALPACA_DATA_URL")) return std::move(*url);
  return std::string(kDataEndpoint);
}

Result<Client, AlpacaError> Client::from_environment() {
  auto book = env::text("ALPACA_ACCOUNT");
  if (!book || book->empty()) return Err{AlpacaError::no_account()};

  std::string key, secret;
  if (*book == "default") {
    auto k = env_or_vault("ALPACA_API_KEY");
    if (!k) return Err{std::move(k).error()};
    key = std::move(*k);
    auto s = env_or_vault("ALPACA_SECRET_KEY");
    if (!s) s = env_or_vault("ALPACA_API_SECRET");
    if (!s) return Err{std::move(s).error()};
    secret = std::move(*s);
  } else {
    const std::string suffix = book_suffix(*book);
    auto k = env_or_vault(suffix + "_PAPER_KEY");
    if (!k) return Err{std::move(k).error()};
    key = std::move(*k);
    auto s = env_or_vault(suffix + "_PAPER_SECRET");
    if (!s) return Err{std::move(s).error()};
    secret = std::move(*s);
  }

  std::string base = base_for(key, env::text("ALPACA_PAPER_TRADE"));
  Client client(std::move(key), std::move(secret), std::move(base));
  if (auto pinned = client.verify_account(); !pinned) return Err{std::move(pinned).error()};
  return client;
}

Result<void, AlpacaError> Client::verify_account() const {
  auto expected_raw = env::text("ALPACA_EXPECT_ACCOUNT");
  if (!expected_raw || text::is_blank(*expected_raw)) return {};
  const std::string_view expected = text::trim(*expected_raw);
  auto found = account();
  if (!found) return Err{std::move(found).error()};
  if (text::equal_ignoring_ascii_case(text::trim(found->account_number), expected)) return {};
  return Err{AlpacaError::http(
      0, fmt::format("these keys reach account {}, not {} — refusing to trade an account that "
                     "was not asked for",
                     found->account_number, expected))};
}

}  // namespace vavev_aziz::alpaca
