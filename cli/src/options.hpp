// Option scanning. Every command reads its options from the raw argument list the same way:
// boolean flags match whole arguments anywhere; a valued flag takes the argument right after
// its first occurrence, whatever it is; there is no name=value form and no end-of-options
// marker. A number that does not read counts as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run.hpp"

namespace trade {

// True when any argument equals `name` exactly, at any position (also where another option's
// value would stand).
bool has(const Args& args, std::string_view name);

// The argument right after the first occurrence of `name`; absent when there is none or that
// occurrence is the last argument. Later occurrences are never looked at.
std::optional<std::string> value_of(const Args& args, std::string_view name);

// For every occurrence of `name`, in order, the argument right after it (an occurrence that
// stands last gives nothing). A value is still examined as a name: `--leg --leg X` gives
// "--leg" and "X".
std::vector<std::string> values_of(const Args& args, std::string_view name);

// The value of `name` read as a decimal number (sign, digits, fraction, exponent, or inf /
// infinity / nan); absent when the flag is absent or its value does not read.
std::optional<double> decimal_of(const Args& args, std::string_view name);

// The value of `name` read as a whole number (digits with an optional "+", within 64 bits);
// absent when the flag is absent or its value does not read.
std::optional<std::uint64_t> whole_of(const Args& args, std::string_view name);

}  // namespace trade
