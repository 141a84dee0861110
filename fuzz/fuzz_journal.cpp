// Feeds arbitrary bytes to the journal as a file: reading, folding and attribution must never
// crash, and every event read must survive a write and a second read unchanged.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "vavev_aziz/journal.hpp"

namespace {

std::filesystem::path scratch(const char* name) {
  return std::filesystem::temp_directory_path() /
         ("fuzz-journal-" + std::to_string(::getpid()) + "-" + name);
}

std::string content_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vavev_aziz;
  static const auto input = scratch("input.jsonl");
  static const auto copy = scratch("copy.jsonl");
  std::ofstream(input, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  const Journal journal(input);
  const auto events = journal.events();
  const auto trades = journal.trades();
  journal.open_trades();
  journal.exits_awaiting_close();
  for (const auto& t : trades)
    t.effective_max_loss();
  overall(trades).verdict();
  for (const auto& slices : {by_iv_rank(trades), by_structure(trades), by_proposer(trades)})
    for (const auto& a : slices) {
      a.verdict();
      a.n_needed();
    }

  // Written again, the events read back to the same lines.
  std::filesystem::remove(copy);
  const Journal again(copy);
  for (const auto& e : events)
    if (!again.append(e)) std::abort();
  const std::string once = content_of(copy);
  const auto reread = again.events();
  if (reread.size() != events.size()) std::abort();
  std::filesystem::remove(copy);
  for (const auto& e : reread)
    if (!again.append(e)) std::abort();
  if (content_of(copy) != once) std::abort();
  return 0;
}
