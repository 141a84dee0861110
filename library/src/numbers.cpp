#include "vavev_aziz/support/numbers.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include <fast_float/fast_float.h>
#include <fmt/format.h>

#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::numbers {
namespace {

std::string not_finite(double v, bool plus) {
  if (std::isnan(v)) return "NaN";
  if (v < 0) return "-inf";
  return plus ? "+inf" : "inf";
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

// std::to_chars in fixed form would do for small values, but past 2^53 it writes the exact
// binary value (2^60 as 1152921504606846976): every digit of a whole number is significant
// there, so the shortest text is no shorter than the exact one. The scientific form gives only
// the digits that matter.
Digits shortest_digits(double v) {
  Digits d;
  if (!std::isfinite(v)) {
    d.digits[0] = '0';
    d.count = d.point = 1;
    return d;
  }
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p)
    if (*p != '.') d.digits[static_cast<std::size_t>(d.count++)] = *p;
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  d.point = exponent + 1;
  return d;
}

void append_positional(std::string& out, const Digits& d, Whole whole) {
  if (d.negative) out += '-';
  const std::string_view all = d.view();
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.point), '0');
    out += all;
  } else if (d.point < d.count) {
    out += all.substr(0, static_cast<std::size_t>(d.point));
    out += '.';
    out += all.substr(static_cast<std::size_t>(d.point));
  } else {
    out += all;
    out.append(static_cast<std::size_t>(d.point - d.count), '0');
    if (whole == Whole::PointZero) out += ".0";
  }
}

std::string shortest(double v) {
  if (!std::isfinite(v)) return not_finite(v, false);
  std::string out;
  append_positional(out, shortest_digits(v), Whole::Plain);
  return out;
}

std::string fixed(double v, int decimals, bool plus) {
  if (!std::isfinite(v)) return not_finite(v, plus);
  return plus ? fmt::format("{:+.{}f}", v, decimals) : fmt::format("{:.{}f}", v, decimals);
}

std::string debug(double v) {
  if (!std::isfinite(v)) return not_finite(v, false);
  std::string out;
  append_positional(out, shortest_digits(v), Whole::PointZero);
  return out;
}

std::optional<double> parse_decimal(std::string_view text) {
  bool negative = false;
  std::string_view rest = text;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  if (text::equal_ignoring_ascii_case(rest, "inf") ||
      text::equal_ignoring_ascii_case(rest, "infinity"))
    return negative ? -HUGE_VAL : HUGE_VAL;
  if (text::equal_ignoring_ascii_case(rest, "nan")) return negative ? -NAN : NAN;
  // fast_float reads the digits, fraction and exponent. It also takes a second minus sign and
  // its own spellings of inf and nan ("nan(...)"), so the text must go on with a digit or the
  // point.
  if (rest.empty() || !(is_digit(rest.front()) || rest.front() == '.')) return std::nullopt;

  double value = 0;
  const char* end = rest.data() + rest.size();
  auto r = fast_float::from_chars(rest.data(), end, value);
  // Out of range still gives the saturated value (infinity or zero), which is what a plain
  // read of such a text should give.
  if (r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range))
    return std::nullopt;
  return negative ? -value : value;
}

std::optional<std::uint64_t> parse_whole(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!is_digit(c)) return std::nullopt;
  std::uint64_t value = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parse_whole_u32(std::string_view text) {
  auto v = parse_whole(text);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

}  // namespace vavev_aziz::numbers
