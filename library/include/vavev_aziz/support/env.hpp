// Reading the process environment. A variable counts as set only when it is present and its
// value is valid UTF-8 text.
#pragma once

#include <optional>
#include <string>

namespace vavev_aziz::env {

// The variable's value when present and valid UTF-8; absent otherwise.
std::optional<std::string> text(const char* name);

}  // namespace vavev_aziz::env
