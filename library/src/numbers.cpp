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
