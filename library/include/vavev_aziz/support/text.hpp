// Small text helpers shared by the modules: ASCII case folding, Unicode trimming, UTF-8
// validity and repair, and the quoted debug form of a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace vavev_aziz::text {

// ASCII A-Z to a-z (respectively a-z to A-Z); every other byte unchanged.
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);

// Byte for byte equal, compared in place: the journal's reader and fold compare a few short
// texts per line, where a call to memcmp costs more than the comparison. Eight bytes at a
// time, the last ones in a load that overlaps the one before.
inline bool same_bytes(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (b.size() != n) return false;
  const auto same = [&a, &b](std::size_t at, auto word) {
    decltype(word) x, y;
    std::memcpy(&x, a.data() + at, sizeof x);
    std::memcpy(&y, b.data() + at, sizeof y);
    return x == y;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8)
      if (!same(i, std::uint64_t{})) return false;
    return same(n - 8, std::uint64_t{});
  }
  if (n >= 4) return same(0, std::uint32_t{}) && same(n - 4, std::uint32_t{});
  if (n >= 2) return same(0, std::uint16_t{}) && same(n - 2, std::uint16_t{});
  return n == 0 || a[0] == b[0];
}

// Same length in bytes and equal after ASCII lowering; nothing trimmed.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

// Trims Unicode white space (the White_Space property) at both ends. Invalid UTF-8 at an end
// is not white space and stops the trim.
std::string_view trim(std::string_view s);

// True when the text is empty or only Unicode white space.
bool is_blank(std::string_view s);

// One UTF-8 sequence read at a byte offset.
struct Decoded {
  std::optional<char32_t> character;  // absent when the sequence is ill-formed
  // Bytes taken: the character's size, or for an ill-formed sequence the length of the longest
  // start of a valid one (at least 1), so that each broken sequence can count as one.
  std::size_t length;
};

// Decodes the strict UTF-8 sequence (no overlongs, surrogates or values past U+10FFFF) that
// starts at byte `i` of `s`; `i` must be less than `s.size()`.
Decoded decode_utf8(std::string_view s, std::size_t i);

// Appends the UTF-8 form of a Unicode scalar value; a surrogate or a value past U+10FFFF is
// written as U+FFFD.
void append_utf8(std::string& out, char32_t c);

// True when the bytes are well-formed UTF-8.
bool valid_utf8(std::string_view s);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);

// The text as a person may safely be shown it: every ill-formed UTF-8 sequence, C0 and C1
// control, DEL, line or paragraph separator, bidirectional control (U+061C, U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069) and zero-width character (U+200B-U+200D, U+2060, U+FEFF)
// becomes U+FFFD, so that nothing in it can start a line, move the cursor or turn text round.
std::string shown_safely(std::string_view s);

// The first `n` characters (Unicode scalar values) of valid UTF-8 text; the whole text when
// shorter. Ill-formed bytes count as one character each.
std::string_view first_chars(std::string_view s, std::size_t n);

// The first `n` bytes, moved back to the start of a character when the cut would fall inside
// a multi-byte UTF-8 sequence, so the result is never a broken character.
std::string_view first_bytes(std::string_view s, std::size_t n);

// The quoted debug form of a text: in double quotes, with \" \\ \n \r \t \0 escaped and other
// control characters written \u{..}.
std::string debug_quoted(std::string_view s);

}  // namespace vavev_aziz::text
