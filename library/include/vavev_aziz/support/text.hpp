// Small text helpers shared by the modules: ASCII case folding, Unicode trimming, UTF-8
// validity and repair, and the quoted debug form of a text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vavev_aziz::text {

// ASCII A-Z to a-z (respectively a-z to A-Z); every other byte unchanged.
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);

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
