// Reading the journal back: the file's lines, the values on one line, and the entry they make.
//
// A line is read in two steps. A parser collects the values that stand directly in the line's
// object or array into slots (nested containers are only checked and noted as such: no entry
// key takes one); the slots then fill the entry of the line's kind. Readers are lenient about
// the shape and strict about the content: keys may come in any order and unknown keys are
// ignored, but a repeated known key, a wrong type or a missing required key makes the line
// unreadable, and so does anything that is not one JSON value with only JSON white space
// around it (a NUL, invalid UTF-8, a number out of range, nesting 128 levels deep).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "journal_format.hpp"
#include "journal_lines.hpp"

namespace vavev_aziz::journal_format {

// A value that stood directly inside the line's object or array.
enum class Val : std::uint8_t { Null, Bool, Number, Text, Container };

struct Slot {
  Key key = Key::Unknown;  // Unknown in the array form
  Val kind = Val::Null;
  bool flag = false;      // Bool
  bool whole = false;     // Number written as an integer without a sign
  double number = 0;      // Number
  std::string_view text;  // Text, decoded; valid until the parser reads the next line
};

// One reusable entry of each kind, filled from the slots of one line at a time, so reading a
// journal allocates nothing once its longest texts have been seen. Only the fields of the
// `kept` keys take the line's values, for a reader that needs only some of them; the others
// are checked all the same, and hold nothing meaningful.
class LineEntries {
 public:
  LineEntries(KindMask wanted, KeyMask kept);

  // The event the slots of one line describe, or null when they make no readable entry of a
  // wanted kind. The event is overwritten by the next call.
  const Event* build(std::span<const Slot> slots, bool array);

  // The entry of a wanted kind to fill in place, or null for a kind not wanted; and the keys
  // whose values it takes.
  Event* entry_of(std::size_t kind);
  KeyMask kept() const { return kept_; }

 private:
  KindMask wanted_;
  KeyMask kept_;
  std::array<Event, kKinds> events_;
};

// Reads single lines with simdjson.
class LineReader {
 public:
  explicit LineReader(KindMask wanted, KeyMask kept = kAllKeys);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The event on one line, or null when the line is unreadable or of a kind not wanted. At
  // least kLinePadding bytes after the line must be readable. The event is overwritten by the
  // next read.
  const Event* read(std::string_view line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  KindMask wanted_;
  std::vector<Slot> slots_;
  LineEntries entries_;
};

// The kind a line must be when it is readable at all, told from its first bytes in the forms
// the writer uses ({"event":"fill" or ["fill"); absent when the line starts otherwise. A reader
// drops a line of an unwanted kind on this alone, readable or not, without parsing it.
std::optional<std::size_t> kind_from_start(std::string_view line);

}  // namespace vavev_aziz::journal_format
