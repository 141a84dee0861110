// Feeds arbitrary bytes to the rule-file reader: it must answer a table or an error, never
// crash, and a table it accepts must survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vavev_aziz/gate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto rules = vavev_aziz::read_rules(text);
  if (!rules) return 0;
  const auto written = vavev_aziz::write_rules(*rules);
  auto again = vavev_aziz::read_rules(written);
  if (!again || vavev_aziz::write_rules(*again) != written) std::abort();
  return 0;
}
