// Reading the process environment. A variable counts as set only when it is present and its
// value is valid UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vavev_aziz::env {

// The variable's value when present and valid UTF-8; absent otherwise.
std::optional<std::string> text(const char* name);

// Whether `name` holds a broker key: ALPACA_API_KEY, ALPACA_SECRET_KEY, ALPACA_API_SECRET, or
// any name ending in "_PAPER_KEY" or "_PAPER_SECRET" (the key pair of every book).
bool is_broker_key(std::string_view name);

// The process environment as "NAME=value" entries, less every broker key: the environment of
// the external programs that have no business with the keys.
std::vector<std::string> without_broker_keys();

}  // namespace vavev_aziz::env
