// The contract table: every way a proposal through `tovra-trade ask` can end, in the words
// the agent's brief includes. The texts are the system's own and are printed byte for byte.
#include <array>

#include "vavev_aziz/pipeline.hpp"

namespace vavev_aziz {
namespace {

constexpr std::array<ContractEntry, 9> kContract = {{
    {"submit", "approved", "a rule allowed it outright, or the operator said yes",
     "Submit it, then report the broker's answer back through reconcile on your next turn. An "
     "approval is NOT a position until it fills."},
    {"memory", "denied_from_memory",
     "the operator already refused this SHAPE of trade inside the suppression window",
     "Do not re-propose the same trade. The operator was deliberately NOT asked again. Propose "
     "something materially different or nothing."},
    {"halt", "risk_halted", "the drawdown limit or the weekly loss budget tripped",
     "Stop proposing opens entirely. Only a human at the machine can clear a halt. You may still "
     "CLOSE positions. Do not look for a way around it."},
    {"risk", "risk_refused", "this order breaches a position, portfolio or count limit",
     "This is a portfolio limit, not an opinion about the trade. Propose something smaller, or "
     "nothing."},
    {"gate", "denied", "a rule with posture DENY matched",
     "Nothing promotes a denial and it was never put to the operator. Propose something materially "
     "different."},
    {"operator", "denied", "the operator was asked and said no",
     "This is an ANSWER, not a failure. Do not re-propose. The refusal is remembered, so trying "
     "again costs you a turn and reaches nobody."},
    {"operator", "expired", "nobody answered before the rule's TTL",
     "Silence is not refusal \u2014 the quote simply went stale. If the setup still holds on a "
     "FRESH quote you may propose it again."},
    {"operator", "undeliverable",
     "the ask never reached anybody (no handle, send failed, binary missing)",
     "Nobody was asked. This is an infrastructure fault, NOT a no. Do not treat it as a refusal "
     "and do not retry in a loop \u2014 surface it and stop."},
    {"revalidate", "stale",
     "the operator said yes, but the world moved while they decided \u2014 the quote aged out, the "
     "notional drifted, or the position book changed under the order",
     "NOT a refusal: nobody said no. The order that was approved is no longer the order that would "
     "be sent, so it was dropped. Re-propose against a FRESH quote if the setup still holds."},
}};

}  // namespace

std::span<const ContractEntry> contract() {
  return kContract;
}

}  // namespace vavev_aziz
