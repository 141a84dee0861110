// The proposal pipeline: the one road by which a proposed order becomes a submit ticket or a
// journalled refusal, the refusal vocabulary it speaks (stage words and outcome codes), and
// the contract table that states every way a proposal can end for the agent that proposes.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/order.hpp"

namespace vavev_aziz {

// The live market as the pipeline sees it, only while revalidating an approved order. The
// program implements it over the broker; tests script it.
class MarketView {
 public:
  virtual ~MarketView() = default;
  // The account's current positions.
  virtual std::vector<alpaca::Position> positions() = 0;
  // The order's notional at current prices; absent when it cannot be priced.
  virtual std::optional<double> notional_now(const Order& order) = 0;
};

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
