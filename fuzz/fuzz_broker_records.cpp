// Feeds arbitrary bytes to the readers of the broker's account, positions and clock bodies:
// each must answer a record or an error message, never crash, and an error always names the
// place where reading stopped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vavev_aziz/alpaca.hpp"

namespace {

template <class R>
void check(const R& read) {
  if (!read && read.error().find(" at line ") == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto account = vavev_aziz::alpaca::read_account(text);
  check(account);
  if (account) {
    (void)account->equity_f64();
    (void)account->can_trade();
  }
  auto positions = vavev_aziz::alpaca::read_positions(text);
  check(positions);
  if (positions)
    for (const auto& p : *positions)
      (void)p.qty_f64();
  check(vavev_aziz::alpaca::read_clock(text));
  return 0;
}
