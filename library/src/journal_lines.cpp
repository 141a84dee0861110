// The journal file's lines, read in blocks of up to a megabyte.
#include "journal_lines.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "journal_format.hpp"
#include "vavev_aziz/journal.hpp"

namespace vavev_aziz::journal_format {

// Blocks of up to a megabyte; a small journal needs no more than its own size.
LineSource::LineSource(const std::filesystem::path& path) {
  constexpr std::size_t kLargest = 1 << 20;
  if (auto file = platform::InputFile::open(path)) {
    block_ = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(file->size() + 1, 4096, std::uint64_t{kLargest}));
    in_.emplace(std::move(*file));
  } else {
    failed_ = true;
  }
}

bool LineSource::refill() {
  // The unfinished line moves to the front, and a block is read after it.
  const std::size_t kept = end_ - start_;
  base_ += start_;
  if (start_ > 0) std::memmove(buffer_.data(), buffer_.data() + start_, kept);
  buffer_.resize(kept + block_ + kLinePadding);
  const auto got = in_->read(buffer_.data() + kept, block_);
  // A failing disk shows as an error rather than an end.
  if (!got) failed_ = true;
  start_ = 0;
  end_ = kept + (got ? *got : 0);
  std::memset(buffer_.data() + end_, 0, kLinePadding);
  return got && *got > 0;
}

std::optional<std::string_view> LineSource::next() {
  while (!failed_) {
    const std::string_view data(buffer_.data() + start_, end_ - start_);
    if (const std::size_t nl = data.find('\n', scanned_); nl != std::string_view::npos) {
      std::string_view line = data.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      const std::uint64_t line_start = base_ + start_;
      start_ += nl + 1;
      scanned_ = 0;
      through_ = base_ + start_;
      // The end of a line too long to keep is dropped with it.
      if (std::exchange(skipping_, false) || line.size() > kLongestLine) continue;
      line_start_ = line_start;
      return line;
    }
    scanned_ = data.size();
    if (at_end_) {
      // The last line may lack its line feed; a carriage return there stays (white space).
      const std::uint64_t line_start = base_ + start_;
      start_ = end_;
      if (data.empty() || std::exchange(skipping_, false) || data.size() > kLongestLine)
        return std::nullopt;
      line_start_ = line_start;
      return data;
    }
    // A line past the longest is dropped as it comes in, so it never fills the memory.
    if (data.size() > kLongestLine) skipping_ = true;
    if (skipping_) {
      start_ = end_;
      scanned_ = 0;
    }
    at_end_ = !refill();
  }
  return std::nullopt;
}

}  // namespace vavev_aziz::journal_format

namespace vavev_aziz {

std::uint64_t Journal::length() const {
  auto file = platform::InputFile::open(path_);
  if (!file) return 0;
  // Backwards from the end, a block at a time, to the last line feed.
  constexpr std::uint64_t kBlock = 1 << 16;
  std::vector<char> block(kBlock);
  for (std::uint64_t end = file->size(); end > 0;) {
    const std::uint64_t start = end > kBlock ? end - kBlock : 0;
    const auto got = file->read_at(block.data(), static_cast<std::size_t>(end - start), start);
    if (!got || *got != end - start) return 0;
    for (std::size_t i = *got; i > 0; --i)
      if (block[i - 1] == '\n') return start + i;
    end = start;
  }
  return 0;
}

}  // namespace vavev_aziz
