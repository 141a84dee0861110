// The journal's line reader against the reference reader of the differential fuzz target, on
// every line of every seed under fuzz/: the fuzzer's starting points, run on every test run.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "reference_journal_reader.hpp"

namespace vavev_aziz::journal_format {
namespace {

TEST(JournalReaders, AgreeOnEverySeedLine) {
  std::size_t read = 0;
  for (const auto& file : std::filesystem::recursive_directory_iterator(TOVRA_FUZZ_SEEDS)) {
    if (!file.is_regular_file()) continue;
    std::ifstream in(file.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto line = first_disagreement(bytes.str(), [&read](const Event&) { ++read; });
    EXPECT_FALSE(line) << file.path() << ": " << line.value_or("");
  }
  EXPECT_GT(read, 20u);  // the seeds hold readable lines, not only damaged ones
}

}  // namespace
}  // namespace vavev_aziz::journal_format
