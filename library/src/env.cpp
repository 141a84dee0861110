#include "vavev_aziz/support/env.hpp"

#include <cstdlib>
#include <string_view>

#include "vavev_aziz/support/text.hpp"

extern char** environ;

namespace vavev_aziz::env {

std::optional<std::string> text(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || !text::valid_utf8(v)) return std::nullopt;
  return std::string(v);
}

bool is_broker_key(std::string_view name) {
  // The default pair and its older secret name, then every book's pair: the environment may
  // hold the pairs of books other than the selected one, and the messaging and presence
  // programs need none of them.
  for (std::string_view exact : {"ALPACA_API_KEY", "ALPACA_SECRET_KEY", "ALPACA_API_SECRET"})
    if (name == exact) return true;
  return name.ends_with("_PAPER_KEY") || name.ends_with("_PAPER_SECRET");
}

std::vector<std::string> without_broker_keys() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (!is_broker_key(variable.substr(0, variable.find('=')))) entries.emplace_back(variable);
  }
  return entries;
}

}  // namespace vavev_aziz::env
