// A generator of realistic journals for the benchmarks: interleaved opens, partial and
// complete fills, closes, exits, refusals and the odd halt, with field values of the sizes the
// proposal pipeline writes.
#pragma once

#include <cstddef>
#include <filesystem>

namespace bench {

struct GeneratedJournal {
  std::size_t events = 0;  // lines written
  std::size_t orders = 0;  // distinct open ids
};

// Writes a journal of `events` lines to `path` (replacing it). Deterministic for a given count.
GeneratedJournal generate_journal(const std::filesystem::path& path, std::size_t events);

}  // namespace bench
