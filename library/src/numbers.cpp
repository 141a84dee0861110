#include "vavev_aziz/support/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

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

// True when `s` (sign already removed) is digits, an optional fraction and an optional
// exponent, with at least one digit before the exponent.
bool plain_decimal(std::string_view s) {
  std::size_t i = 0, digits = 0;
  while (i < s.size() && is_digit(s[i]))
    ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i]))
      ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i]))
      ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::string shortest(double v) {
  if (!std::isfinite(v)) return not_finite(v, false);
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string fixed(double v, int decimals, bool plus) {
  if (!std::isfinite(v)) return not_finite(v, plus);
  return plus ? fmt::format("{:+.{}f}", v, decimals) : fmt::format("{:.{}f}", v, decimals);
}

std::string debug(double v) {
  std::string s = shortest(v);
  if (std::isfinite(v) && s.find('.') == std::string::npos) s += ".0";
  return s;
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
  if (!plain_decimal(rest)) return std::nullopt;

  double value = 0;
  auto r = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: strtod saturates the way a plain read should
    // (to infinity or to zero). The text is already known to be a plain decimal.
    std::string copy(rest);
    value = std::strtod(copy.c_str(), nullptr);
  } else if (r.ec != std::errc() || r.ptr != rest.data() + rest.size()) {
    return std::nullopt;
  }
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
