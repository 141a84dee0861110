// Parsing one journal line into slots: the values that stand directly in the line's object or
// array, each with its key (in the object form) and the kind of value it is. Nested containers
// are only checked and noted as such: no entry key takes one.
//
// Every parser of a line gives one of three answers: the slots, the line is unreadable, or not
// mine (the next parser decides). A parser that answers with slots has checked all of the line:
// only JSON white space around one JSON value, no NUL, valid UTF-8, every number in range,
// nesting under json::kDepthLimit. Whether the slots make an entry is for the entries to say
// (journal_entries); the one parser that hands them its slots as it takes them answers with
// the entry they made, or not mine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "journal_format.hpp"

namespace vavev_aziz::journal_format {

// A value that stood directly inside the line's object or array.
enum class Val : std::uint8_t { Null, Bool, Number, Text, Container };

struct Slot {
  Key key = Key::Unknown;  // the key it stood under; not read in the array form
  Val kind = Val::Null;
  bool flag = false;      // Bool
  bool whole = false;     // Number written as an integer without a sign
  double number = 0;      // Number
  std::string_view text;  // Text, decoded; valid until the parser reads the next line
};

// The slots of one line: in the object form those of the known keys, in the array form every
// value by position, the tag first.
struct LineSlots {
  std::vector<Slot> values;
  bool array = false;
};

enum class Parsed : std::uint8_t { Slots, Unreadable, NotMine };

class LineEntries;

// The fast parser: simdjson's DOM parser checks the whole line in one pass before any value is
// looked at. It takes no line longer than 64 KiB or nested deeper than half the limit (its
// buffers grow with both), and leaves what it cannot represent as the walk reads it to the walk.
class DomSlots {
 public:
  DomSlots();
  ~DomSlots();

  // Parses one line, followed by kLinePadding readable bytes; false when this parser does not
  // take it (the line is then not its to answer for). The readers below read the last line
  // parsed.
  bool parse(std::string_view line);

  // The line in the writer's own layout for entries of `kind` ("event" first, then every key of
  // the entry once, in writing order) as the entry it makes: each slot, taken in turn, goes
  // straight to its field (`fill_field`), since collecting the slots first makes reading a
  // journal a tenth slower. `kind` is the one the line's first bytes tell (kind_from_start),
  // which has matched its "event" key and tag already. Null: not mine, for any other layout and
  // for a line whose values make no entry (the slots of any layout then tell what it is).
  const Event* writer_layout(std::size_t kind, LineEntries& entries) const;

  // The line in any layout: slots, unreadable (a bare value), or not mine.
  Parsed any_layout(LineSlots& out) const;

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

// The walk on simdjson's on-demand parser: it takes every line and has the last word (slots or
// unreadable). The on-demand parser checks only what is read, so the walk reads every value of
// the line, nested ones included.
class WalkSlots {
 public:
  WalkSlots();
  ~WalkSlots();

  // One line, followed by kLinePadding readable bytes.
  Parsed read(std::string_view line, LineSlots& out);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace vavev_aziz::journal_format
