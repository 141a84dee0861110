// The pipeline's vocabulary: every way a proposal is refused, with its journal label and the
// guidance text the refusal carries, and the end of a proposal each refusal is (its stage word,
// outcome code and the contract table's two texts). The pipeline speaks from this table and the
// contract table is built from it, so each (stage, outcome) pair is written here once.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "enum_table.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace vavev_aziz::vocabulary {

// Every way a proposal is refused, in the order a proposal meets them; the table below is
// indexed by it.
enum class Refusal {
  Memory,
  AlreadyHalted,
  NewHalt,
  RiskRefused,
  GateDeny,
  OperatorDenied,
  Expired,
  Undeliverable,
  Stale,
  Count,  // the number of paths, not a path
};

struct RefusalRow {
  Refusal path;
  ContractEntry end;       // the stage, the outcome, and what the contract table says of them
  std::string_view label;  // the journalled gate_rule; empty: the deciding rule's name
  std::string_view agent;  // guidance text; its one "{}" takes the row's placeholder
};

// The approved end, which is no refusal: first in the contract table.
inline constexpr ContractEntry kApproved = {
    "submit", "approved", "a rule allowed it outright, or the operator said yes",
    "Submit it, then report the broker's answer back through reconcile on your next turn. An "
    "approval is NOT a position until it fills."};

// The two halt paths end the same way and say the same to the agent.
inline constexpr ContractEntry kHalted = {
    "halt", "risk_halted", "the drawdown limit or the weekly loss budget tripped",
    "Stop proposing opens entirely. Only a human at the machine can clear a halt. You may still "
    "CLOSE positions. Do not look for a way around it."};
inline constexpr std::string_view kHaltedAgent =
    "TRADING IS HALTED: {}. Opens are refused until a human clears the halt at the machine. "
    "Closing existing positions is still allowed. Do not attempt to work around this and do not "
    "keep proposing.";

inline constexpr std::array<RefusalRow, 9> kRefusals = {{
    {Refusal::Memory,
     {"memory", "denied_from_memory",
      "the operator already refused this SHAPE of trade inside the suppression window",
      "Do not re-propose the same trade. The operator was deliberately NOT asked again. Propose "
      "something materially different or nothing."},
     "(memory)",
     "The operator REFUSED this trade earlier and it was not re-asked. {}. Do not re-propose the "
     "same trade."},
    {Refusal::AlreadyHalted, kHalted, "(halt)", kHaltedAgent},
    {Refusal::NewHalt, kHalted, "(halt)", kHaltedAgent},
    {Refusal::RiskRefused,
     {"risk", "risk_refused", "this order breaches a position, portfolio or count limit",
      "This is a portfolio limit, not an opinion about the trade. Propose something smaller, or "
      "nothing."},
     "(risk)",
     "The survival layer refused this: {}. This is a portfolio limit, not an opinion about the "
     "trade. Propose something smaller, or nothing."},
    {Refusal::GateDeny,
     {"gate", "denied", "a rule with posture DENY matched",
      "Nothing promotes a denial and it was never put to the operator. Propose something "
      "materially different."},
     "",
     "The rule table DENIES this: {}. Nothing promotes a denial \u2014 it was not put to the "
     "operator. Propose something materially different."},
    {Refusal::OperatorDenied,
     {"operator", "denied", "the operator was asked and said no",
      "This is an ANSWER, not a failure. Do not re-propose. The refusal is remembered, so trying "
      "again costs you a turn and reaches nobody."},
     "",
     "The operator REFUSED this trade. {}. Do not re-propose the same trade. Propose something "
     "materially different, or explain why you have nothing to do."},
    {Refusal::Expired,
     {"operator", "expired", "nobody answered before the rule's TTL",
      "Silence is not refusal \u2014 the quote simply went stale. If the setup still holds on a "
      "FRESH quote you may propose it again."},
     "",
     "The approval request EXPIRED unanswered \u2014 nobody said no, the quote simply went "
     "stale. {}. If the setup still holds on a fresh quote you may propose it again."},
    {Refusal::Undeliverable,
     {"operator", "undeliverable",
      "the ask never reached anybody (no handle, send failed, binary missing)",
      "Nobody was asked. This is an infrastructure fault, NOT a no. Do not treat it as a refusal "
      "and do not retry in a loop \u2014 surface it and stop."},
     "",
     "The approval request could not be delivered ({}), so nobody was asked. This is an "
     "infrastructure fault, not a refusal. Do not treat it as a no, and do not retry in a loop "
     "\u2014 surface it."},
    {Refusal::Stale,
     {"revalidate", "stale",
      "the operator said yes, but the world moved while they decided \u2014 the quote aged out, "
      "the notional drifted, or the position book changed under the order",
      "NOT a refusal: nobody said no. The order that was approved is no longer the order that "
      "would be sent, so it was dropped. Re-propose against a FRESH quote if the setup still "
      "holds."},
     "",
     "APPROVED BUT NOT FIRED: {}. The operator said yes, but the world moved while they were "
     "deciding, so the order that was approved is no longer the order that would be sent. This "
     "is not a refusal \u2014 re-propose against a fresh quote if the setup still holds."},
}};

constexpr bool same_end(const ContractEntry& a, const ContractEntry& b) {
  return a.stage == b.stage && a.outcome == b.outcome;
}

// Rows stand in the order of their paths (the table is indexed by path), every agent text has
// its one placeholder, and the rows of one end stand together and describe it alike, so the
// contract table can take each end once, where its first row stands.
constexpr bool table_is_sound() {
  if (!indexed_by(kRefusals, &RefusalRow::path)) return false;
  for (std::size_t i = 0; i < kRefusals.size(); ++i) {
    const auto& row = kRefusals[i];
    if (row.agent.find("{}") == std::string_view::npos || same_end(row.end, kApproved))
      return false;
    for (std::size_t j = i + 1; j < kRefusals.size(); ++j) {
      const auto& later = kRefusals[j].end;
      if (!same_end(row.end, later)) continue;
      if (later.when != row.end.when || later.agent_must != row.end.agent_must ||
          !same_end(kRefusals[j - 1].end, later))
        return false;
    }
  }
  return true;
}
static_assert(table_is_sound());

constexpr const RefusalRow& row(Refusal path) {
  return kRefusals[static_cast<std::size_t>(path)];
}

}  // namespace vavev_aziz::vocabulary
