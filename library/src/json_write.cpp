#include "vavev_aziz/support/json_write.hpp"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz::json {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Appends a finite double laid out as nlohmann lays numbers out, but with the shortest digits
// that read back, and positional up to below 1e16 rather than below 1e15: positional from
// 0.0001 on, whole values with ".0" (1e15 as 1000000000000000.0); beyond, d.ddde+XX with at
// least two exponent digits (1e+16, 1e-05).
void append_double(std::string& out, double v) {
  const numbers::Digits d = numbers::shortest_digits(v);
  // The point stands after the first `point` digits: |v| = 0.digits * 10^point.
  constexpr int kMinPoint = -3, kMaxPoint = 16;
  if (kMinPoint <= d.point && d.point <= kMaxPoint) {
    numbers::append_positional(out, d, numbers::Whole::PointZero);
    return;
  }
  if (d.negative) out += '-';
  const std::string_view all = d.view();
  out += all[0];
  if (all.size() > 1) {
    out += '.';
    out += all.substr(1);
  }
  const int exponent = d.point - 1;
  out += exponent < 0 ? "e-" : "e+";
  if (std::abs(exponent) < 10) out += '0';
  char e[8];
  out.append(e, std::to_chars(e, e + sizeof e, std::abs(exponent)).ptr);
}

bool escaped(const std::string& text, std::size_t quote) {
  std::size_t backslashes = 0;
  while (quote > backslashes && text[quote - backslashes - 1] == '\\')
    ++backslashes;
  return backslashes % 2 == 1;
}

// nlohmann's writer gives every form this system's JSON needs, except that the digits it
// picks for a double are now and then not the shortest that read back (1e23 comes out as
// 9.999999999999999e+22). Its output is rewritten number by number: outside the texts, a
// floating-point number is the only token with a point or an exponent; integers stay as
// written. Its digits always read back to the very double, so re-reading them is exact.
std::string with_shortest_doubles(std::string text) {
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t copied = 0, i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      // To the closing quote: one that an odd run of backslashes precedes is escaped.
      std::size_t close = text.find('"', i + 1);
      while (close != std::string::npos && escaped(text, close))
        close = text.find('"', close + 1);
      i = close == std::string::npos ? text.size() : close + 1;
    } else if (c == '-' || is_digit(c)) {
      const std::size_t start = i;
      bool floating = false;
      for (; i < text.size(); ++i) {
        const char d = text[i];
        if (d == '.' || d == 'e' || d == 'E')
          floating = true;
        else if (!is_digit(d) && d != '-' && d != '+')
          break;
      }
      if (!floating) continue;
      const auto v = numbers::parse_decimal(std::string_view(text).substr(start, i - start));
      if (!v) continue;  // not expected of the writer's own text; then it stays as written
      out.append(text, copied, start - copied);
      append_double(out, *v);
      copied = i;
    } else {
      ++i;
    }
  }
  if (copied == 0) return text;
  out.append(text, copied);
  return out;
}

}  // namespace

std::string pretty(const Json& value) {
  return with_shortest_doubles(value.dump(2, ' ', false, Json::error_handler_t::replace));
}

std::string compact(const Json& value) {
  return with_shortest_doubles(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

Json number_or_null(const std::optional<double>& v) {
  return v ? Json(*v) : Json(nullptr);
}

Json text_or_null(const std::optional<std::string>& v) {
  return v ? Json(*v) : Json(nullptr);
}

}  // namespace vavev_aziz::json
