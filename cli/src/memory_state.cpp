#include "memory_state.hpp"

#include <system_error>

namespace trade {

namespace fs = std::filesystem;

std::string journal_name(const fs::path& journal, const fs::path& memory) {
  return journal.lexically_relative(memory.parent_path()).generic_string();
}

void recall_journalled_refusals(vavev_aziz::DenialMemory& memory, const vavev_aziz::Trades& trades,
                                const std::string& name) {
  const std::uint64_t forgotten = memory.forgotten_before(name, trades.read_through());
  for (const auto& no : trades.owner_refusals())
    if (no.line_start >= forgotten) memory.recall(no.fingerprint, no.until);
}

std::map<std::string, std::uint64_t> journal_lengths(const fs::path& memory) {
  constexpr const char* kJournal = "journal.jsonl";
  std::map<std::string, std::uint64_t> lengths;
  const auto add = [&](const fs::path& journal) {
    std::error_code ec;
    if (fs::is_regular_file(journal, ec))
      lengths[journal_name(journal, memory)] = vavev_aziz::Journal(journal).length();
  };
  const fs::path folder = memory.parent_path();
  add(folder / kJournal);
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    if (it->is_directory(kind)) add(it->path() / kJournal);
  }
  return lengths;
}

}  // namespace trade
