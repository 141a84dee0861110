// Feeds arbitrary bytes, as the lines of a journal, to the journal's line reader and to the
// reference reader: they must agree on every line, readable or not, and on every value read.
// The same bytes as a file must also fold into the trades that the events read from it make.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "reference_journal_reader.hpp"
#include "vavev_aziz/journal.hpp"

namespace {

using namespace vavev_aziz;

// Two folds hold the same trades in the same order, and the same latest halt.
bool same(const Trades& a, const Trades& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const Trade &x = a[i], &y = b[i];
    const auto xf = x.fill(), yf = y.fill();
    if (x.id() != y.id() || x.at() != y.at() || x.symbol() != y.symbol() ||
        x.structure() != y.structure() || x.by() != y.by() || x.iv_rank() != y.iv_rank() ||
        x.qty() != y.qty() || x.max_loss() != y.max_loss() || x.exit() != y.exit() ||
        x.closes() != y.closes() || x.realized_pnl() != y.realized_pnl() ||
        xf.has_value() != yf.has_value())
      return false;
    if (xf && (xf->status != yf->status || xf->filled_qty != yf->filled_qty ||
               xf->intended_qty != yf->intended_qty))
      return false;
  }
  const auto &h = a.latest_halt(), &k = b.latest_halt();
  if (h.has_value() != k.has_value()) return false;
  return !h ||
         (h->at == k->at && h->kind == k->kind && h->reason == k->reason &&
          h->equity == k->equity && h->high_water == k->high_water && h->iv_rank == k->iv_rank);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vavev_aziz::journal_format;
  Trades folded;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (first_disagreement(bytes, [&folded](const Event& e) { folded.add(e); })) std::abort();

  // The fold of the file reads only what it needs of each line: it must come to the same.
  static const auto path = std::filesystem::temp_directory_path() /
                           ("fuzz-journal-differential-" + std::to_string(::getpid()) + ".jsonl");
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!same(Journal(path).trades(), folded)) std::abort();
  return 0;
}
