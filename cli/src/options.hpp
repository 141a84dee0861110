// Option scanning for the commands that read the raw argument list (`check` and `ask` read
// theirs once into a record: order_options): boolean flags match whole arguments anywhere; a
// valued flag takes the argument right after its first occurrence, whatever it is; there is no
// name=value form and no end-of-options marker. A number that does not read counts as absent.
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

// A value read as a decimal number (sign, digits, fraction, exponent, or inf / infinity / nan);
// absent when there is no value or it does not read.
std::optional<double> decimal(const std::optional<std::string>& value);

// A value read as a whole number (digits with an optional "+", within 64 bits); absent when
// there is no value or it does not read.
std::optional<std::uint64_t> whole(const std::optional<std::string>& value);

// `decimal` of the value of `name`.
std::optional<double> decimal_of(const Args& args, std::string_view name);

}  // namespace trade
