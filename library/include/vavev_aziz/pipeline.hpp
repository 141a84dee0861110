// The proposal pipeline: the one road by which a proposed order becomes a submit ticket or a
// journalled refusal, the refusal vocabulary it speaks (stage words and outcome codes), and
// the contract table that states every way a proposal can end for the agent that proposes.
#pragma once

#include <span>
#include <string_view>

namespace vavev_aziz {

// One way a proposal ends: the stage that ended it, the outcome code, when it happens and
// what the proposing agent must do next. All four are fixed texts.
struct ContractEntry {
  std::string_view stage;
  std::string_view outcome;
  std::string_view when;
  std::string_view agent_must;
};

// The nine ends of a proposal, approved first, in the order a proposal meets them. The same
// rows on every call; a parked proposal has no row.
std::span<const ContractEntry> contract();

}  // namespace vavev_aziz
