#include "vavev_aziz/support/json_write.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz::json {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Appends a finite double laid out as nlohmann lays numbers out (positional from 0.0001 up to
// below 1e15, whole values with ".0"; else d.ddde+XX with at least two exponent digits), but
// with the shortest digits that read back.
void append_double(std::string& out, double v) {
  if (v == 0) {
    out += std::signbit(v) ? "-0.0" : "0.0";
    return;
  }
  if (v < 0) {
    out += '-';
    v = -v;
  }
  // Scientific form: one digit, an optional point and more digits, "e", the exponent.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  char digits[24];
  int k = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[k++] = *p;
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  // The point stands after the first `n` digits: v = 0.digits * 10^n.
  const int n = exponent + 1;
  constexpr int kMinExp = -4, kMaxExp = 15;
  const std::string_view all(digits, static_cast<std::size_t>(k));

  if (k <= n && n <= kMaxExp) {
    out += all;
    out.append(static_cast<std::size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= kMaxExp) {
    out += all.substr(0, static_cast<std::size_t>(n));
    out += '.';
    out += all.substr(static_cast<std::size_t>(n));
  } else if (kMinExp < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out += all;
  } else {
    out += all[0];
    if (k > 1) {
      out += '.';
      out += all.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    if (std::abs(exponent) < 10) out += '0';
    char e[8];
    out.append(e, std::to_chars(e, e + sizeof e, std::abs(exponent)).ptr);
  }
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
