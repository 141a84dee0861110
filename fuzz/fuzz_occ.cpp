// Feeds arbitrary bytes to the OCC symbol reader: it must answer a symbol or nothing, never
// crash, and what it accepts must hold to the symbol's layout and read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "vavev_aziz/alpaca.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto occ = vavev_aziz::alpaca::parse_occ(text);
  if (!occ) return 0;
  if (occ->root.empty() || occ->expiry.size() != 6) std::abort();
  if (occ->right != 'C' && occ->right != 'P') std::abort();
  if (!(occ->strike >= 0 && occ->strike < 100000)) std::abort();
  // The canonical form of the parsed symbol reads back to the same value.
  const auto canonical =
      fmt::format("{}{}{}{:08.0f}", occ->root, occ->expiry, occ->right, occ->strike * 1000);
  auto again = vavev_aziz::alpaca::parse_occ(canonical);
  if (!again || !(*again == *occ)) std::abort();
  return 0;
}
