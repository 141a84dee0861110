// The journal's earlier line reader, on nlohmann's SAX parser, kept as the reference that the
// differential fuzz target holds the simdjson reader to. It fills the same reused entries from
// the same slots, so the two differ only in how a line's values are found and checked.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "journal_reader.hpp"

namespace vavev_aziz::journal_format {

class ReferenceLineReader {
 public:
  ReferenceLineReader();
  ~ReferenceLineReader();

  // The event on one line, or null when the line is unreadable. Overwritten by the next read.
  const Event* read(std::string_view line);

 private:
  class Collector;
  std::unique_ptr<Collector> collector_;
  LineEntries entries_;
};

// Reads `bytes` as a journal's lines, as the journal's line source hands them out, with the line
// reader and with the reference reader: the first line they disagree on (one reads it and the
// other does not, or they read different values), or nothing. `read` is given each event the
// line reader reads.
std::optional<std::string> first_disagreement(
    std::string_view bytes, const std::function<void(const Event&)>& read = nullptr);

}  // namespace vavev_aziz::journal_format
