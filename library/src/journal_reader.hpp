// Reading the journal back, in three steps: the file's lines (journal_lines), the values that
// stand directly in one line's object or array (journal_slots, whose parsers are tried in turn
// here) and the entry those values make (journal_entries). Readers are lenient about the shape
// and strict about the content: a line that breaks a rule costs that line and nothing else.
#pragma once

#include <string_view>

#include "journal_entries.hpp"
#include "journal_format.hpp"
#include "journal_lines.hpp"
#include "journal_slots.hpp"

namespace vavev_aziz::journal_format {

// Reads single lines with simdjson.
class LineReader {
 public:
  explicit LineReader(KindMask wanted, KeyMask kept = kAllKeys);

  // The event on one line, or null when the line is unreadable or of a kind not wanted. At
  // least kLinePadding bytes after the line must be readable. The event is overwritten by the
  // next read.
  const Event* read(std::string_view line);

 private:
  // The event a parser's answer makes: null unless it found slots, and they make an entry.
  const Event* entry(Parsed parsed);

  KindMask wanted_;
  DomSlots dom_;
  WalkSlots walk_;
  LineSlots slots_;
  LineEntries entries_;
};

}  // namespace vavev_aziz::journal_format
