// Writing JSON: every JSON value of the system is an insertion-ordered nlohmann value, dumped
// pretty (two-space indent) or compact. A double is written in the shortest digits that read
// back to it, whole values keep a ".0" (1e15 as 1000000000000000.0; from 1e16 up and below
// 0.0001 with an exponent: 1e+23), numbers that are not finite become null, and invalid UTF-8
// in a text is replaced rather than thrown on.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vavev_aziz::json {

using Json = nlohmann::ordered_json;

// Pretty JSON, two-space indent, no line feed at the end.
std::string pretty(const Json& value);

// Compact JSON: no blank, tab or line break between tokens.
std::string compact(const Json& value);

// A number, or null when absent.
Json number_or_null(const std::optional<double>& v);

// A text, or null when absent.
Json text_or_null(const std::optional<std::string>& v);

}  // namespace vavev_aziz::json
