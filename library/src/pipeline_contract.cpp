// The contract table: every way a proposal through `tovra-trade ask` can end, in the words
// the agent's brief includes. The approved end comes first, then each end of the refusal
// table once, in the order a proposal meets them.
#include <array>
#include <cstddef>

#include "pipeline_vocabulary.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace vavev_aziz {
namespace {

using vocabulary::kRefusals;

// Whether the refusal at `i` is the first row of its end (the rows of one end stand together).
constexpr bool opens_an_end(std::size_t i) {
  return i == 0 || !vocabulary::same_end(kRefusals[i - 1].end, kRefusals[i].end);
}

constexpr std::size_t ends() {
  std::size_t n = 1;
  for (std::size_t i = 0; i < kRefusals.size(); ++i)
    if (opens_an_end(i)) ++n;
  return n;
}

constexpr std::array<ContractEntry, ends()> kContract = [] {
  std::array<ContractEntry, ends()> rows{};
  std::size_t n = 0;
  rows[n++] = vocabulary::kApproved;
  for (std::size_t i = 0; i < kRefusals.size(); ++i)
    if (opens_an_end(i)) rows[n++] = kRefusals[i].end;
  return rows;
}();

}  // namespace

std::span<const ContractEntry> contract() {
  return kContract;
}

}  // namespace vavev_aziz
