// Numbers in text: how values are printed in messages and read from options and broker texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vavev_aziz::numbers {

// The fewest significant digits that read back to a finite double: |v| = 0.DIGITS x 10^point.
// Zero is the one digit "0" with point 1, and so is a value that is not finite (which every
// writer spells its own way before asking for digits). Every text of a number below is laid out
// from these, so a value past 2^53 keeps only the digits that matter: 2^60 as 1152921504606847000.
struct Digits {
  bool negative = false;  // the sign bit, so negative zero too
  std::array<char, 17> digits{};
  int count = 0;
  int point = 0;

  std::string_view view() const { return {digits.data(), static_cast<std::size_t>(count)}; }
};
Digits shortest_digits(double v);

// Whether a positional text of a whole value ends in ".0".
enum class Whole { Plain, PointZero };

// Appends the digits positionally, never with an exponent: "-" when negative, "0." and
// leading zeros below 1, trailing zeros up to the point of a whole value, then ".0" when
// asked for.
void append_positional(std::string& out, const Digits& d, Whole whole);

// The shortest decimal text that reads back to the same double, plain positional (never an
// exponent), no fraction when whole: 100, 2.5, -3, 0.0001, 1e21 as "1" and 21 zeros, 1.5e300
// as "15" and 299 zeros. Not-finite values print "NaN", "inf" and "-inf"; negative zero
// prints "-0".
std::string shortest(double v);

// Exactly `decimals` digits after the point ("{:.2}"), with "+" on non-negative values when
// `plus` ("{:+.2}"). Not-finite values print "NaN", "inf", "-inf" ("+inf" with `plus`).
std::string fixed(double v, int decimals, bool plus = false);

// The debug form of a number used in listings: shortest text with ".0" on whole values
// (2000.0, 0.1, -3.0); not-finite values as NaN, inf, -inf.
std::string debug(double v);

// Reads a decimal number: an optional sign, digits with an optional fraction (".5" and "5."
// read) and an optional exponent, or inf / infinity / nan in any case. Nothing else: no
// blanks, no thousands separators, no hex. Absent when the text does not read.
std::optional<double> parse_decimal(std::string_view text);

// Reads a whole number: decimal digits with an optional leading "+". Absent on a "-", a blank,
// a fraction, an empty text or a value beyond 64 bits.
std::optional<std::uint64_t> parse_whole(std::string_view text);

// The same grammar, limited to 32 bits.
std::optional<std::uint32_t> parse_whole_u32(std::string_view text);

}  // namespace vavev_aziz::numbers
