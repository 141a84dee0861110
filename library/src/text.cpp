#include "vavev_aziz/support/text.hpp"

#include <cstdint>
#include <optional>

#include <fmt/format.h>

namespace vavev_aziz::text {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

Decoded decode_utf8(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t n;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {std::nullopt, 1};
  }
  for (std::size_t k = 1; k < n; ++k) {
    if (i + k >= s.size()) return {std::nullopt, k};
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {std::nullopt, k};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, n};
}

void append_utf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const auto d = decode_utf8(s, begin);
    if (!d.character || !is_white_space(*d.character)) break;
    begin += d.length;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last character.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
      --start;
    const auto d = decode_utf8(s, start);
    if (!d.character || start + d.length != end || !is_white_space(*d.character)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

bool is_blank(std::string_view s) {
  return trim(s).empty();
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const auto d = decode_utf8(s, i);
    if (!d.character) return false;
    i += d.length;
  }
  return true;
}

namespace {

// Copies valid UTF-8 through and writes U+FFFD for each ill-formed sequence and for each
// character `replaced` picks.
template <class Pick>
std::string replacing(std::string_view s, Pick replaced) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto d = decode_utf8(s, i);
    if (d.character && !replaced(*d.character))
      out.append(s.substr(i, d.length));
    else
      out += "\xEF\xBF\xBD";
    i += d.length;
  }
  return out;
}

// Characters that act on a terminal or a message rather than show: controls, the line and
// paragraph separators, the bidirectional controls and the zero-width characters.
bool acts_rather_than_shows(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || (c >= 0x200B && c <= 0x200F) ||
         c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || c == 0x2060 ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace

std::string lossy_utf8(std::string_view s) {
  return replacing(s, [](char32_t) { return false; });
}

std::string shown_safely(std::string_view s) {
  return replacing(s, acts_rather_than_shows);
}

std::string_view first_chars(std::string_view s, std::size_t n) {
  std::size_t i = 0, count = 0;
  while (i < s.size() && count < n) {
    const auto d = decode_utf8(s, i);
    i += d.character ? d.length : 1;
    ++count;
  }
  return s.substr(0, i);
}

std::string_view first_bytes(std::string_view s, std::size_t n) {
  if (n >= s.size()) return s;
  std::size_t cut = n;
  // A continuation byte at the cut means the cut splits a character: back up to its start.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80 && n - cut < 3)
    --cut;
  if ((static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) cut = n;  // not UTF-8 anyway
  return s.substr(0, cut);
}

std::string debug_quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(c));
        else
          out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace vavev_aziz::text
