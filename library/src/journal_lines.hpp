// The journal file's lines, read in blocks: the first step of reading the journal back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz::journal_format {

// The readable bytes the line reader needs after each line (its parser reads ahead in blocks).
inline constexpr std::size_t kLinePadding = 64;

// The lines of one file in order, each without its line feed (nor a carriage return before
// it) and followed by kLinePadding readable bytes. The file is read in blocks, so a large
// journal never sits in memory whole; a last line without a line feed counts as a line. A
// line longer than kLongestLine is skipped as it is read, never held, and the lines after it
// are read as usual. Only a regular file is read (platform `InputFile`).
class LineSource {
 public:
  explicit LineSource(const std::filesystem::path& path);

  // The next line, valid until the next call; nothing at the end or once reading failed.
  std::optional<std::string_view> next();

  // True when the file could not be opened or read to its end: the journal then reads as
  // empty, whatever lines were already handed out.
  bool failed() const { return failed_; }

  // Where the line `next` handed out last starts in the file (its first byte's offset).
  std::uint64_t line_start() const { return line_start_; }

  // The bytes read up to and including the last line feed: every line that ends within them
  // has been handed out or skipped. A last line without its line feed lies beyond.
  std::uint64_t through() const { return through_; }

 private:
  bool refill();

  std::optional<platform::InputFile> in_;
  std::size_t block_ = 0;
  std::vector<char> buffer_;
  std::size_t start_ = 0;    // the next line's first byte
  std::size_t end_ = 0;      // the end of the bytes read
  std::size_t scanned_ = 0;  // bytes from start_ on known to hold no line feed
  std::uint64_t base_ = 0;   // the file offset of the buffer's first byte
  std::uint64_t line_start_ = 0;
  std::uint64_t through_ = 0;
  bool at_end_ = false;
  bool skipping_ = false;  // inside a line too long to keep
  bool failed_ = false;
};

}  // namespace vavev_aziz::journal_format
