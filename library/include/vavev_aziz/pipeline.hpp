// The proposal pipeline: the one road by which a proposed order becomes a submit ticket or a
// journalled refusal, the refusal vocabulary it speaks (stage words and outcome codes), and
// the contract table that states every way a proposal can end for the agent that proposes.
// Beside it, the journal records written after the road: reconciliation of the broker's
// statuses into fills, closes, orders the broker never created, and what still awaits.
//
// A proposal passes, in this fixed order: the leg facts re-derived against the context's
// positions, the fingerprint, the high-water and week bookkeeping, the denial memory, the
// survival layer (only for orders that do not reduce risk), the rule gate, the owner (only
// when the gate asks), revalidation (only after the owner's yes) and the journal entry.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/broker_status.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/risk.hpp"
#include "vavev_aziz/support/duration.hpp"
#include "vavev_aziz/support/result.hpp"

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

// One proposal's facts, filled by the ask command. The time `now` is read once and used for
// every time-dependent step: memory expiry, week number, the journal's "at", quote age.
struct Context {
  Exposure exposure;              // the survival layer's inputs, handed whole to it
  std::optional<double> iv_rank;  // at entry, a fraction; journalled
  std::optional<double> iv;
  std::optional<double> underlying_price;
  std::optional<double> short_delta;
  std::optional<double> credit;                      // dollars, for a credit structure
  std::vector<alpaca::Position> positions;           // the leg facts are re-derived against these
  std::string structure = "unspecified";             // attribution label
  std::string by = std::string(proposer_unknown());  // the proposer
  std::optional<std::uint32_t> dte;                  // days to expiry
  double equity = 0;                                 // the gate's denominator, dollars
  double max_loss = 0;         // the order's risk as the survival layer judges it
  double now = 0;              // epoch seconds
  double max_quote_age = 300;  // seconds; 0 or less disables the age test
  double max_drift = 0.05;     // fraction; 0 or less disables the drift test
  bool paper = false;
};

// What a yes authorises: the client order id the gate's decision carried, and who granted it.
struct Approval {
  std::string client_order_id;
  GrantedBy granted_by = GrantedBy::Rule;
};

// What a submit yields. The broker client refuses an order whose id differs from the
// approval's.
struct Ticket {
  Approval approval;
  std::string client_order_id;  // the order's own
};

// The result of one proposal.
struct Outcome {
  // Approved; its open entry is journalled, unless `unjournalled` says why it could not be.
  struct Submit {
    Ticket ticket;
    std::optional<std::string> unjournalled;  // the append's error text
  };
  // Refused; its refused entry is journalled. `stage` and `verdict` are words of the refusal
  // vocabulary (static texts); `agent_feedback` is the guidance for the proposing agent.
  struct Refused {
    std::string_view stage;
    std::string_view verdict;
    std::string reason;
    std::string agent_feedback;
  };
  // Staged by the owner channel for a later answer; nothing journalled or remembered.
  struct Parked {
    std::string rule;
    std::string question;
  };
  std::variant<Submit, Refused, Parked> value;

  const Submit* submit() const { return std::get_if<Submit>(&value); }
  const Refused* refused() const { return std::get_if<Refused>(&value); }
  const Parked* parked() const { return std::get_if<Parked>(&value); }
};

// The proposal machine over borrowed views, held for one proposal. It never talks to the
// broker and writes no file but the journal; the risk state and the denial memory change in
// memory only, and the caller saves them.
struct Pipeline {
  Asker& asker;        // called once when the gate asks
  MarketView& market;  // called only while revalidating
  const Gate& gate;
  DenialMemory& memory;  // pruned every proposal; written when the owner says no
  RiskState& risk;       // high-water mark, week start, halt
  const Limits& limits;
  const Journal& journal;  // open, refused and halted events
  Duration suppress;       // how long an owner's no suppresses the same fingerprint
  std::ostream& err;       // the journal-write warnings

  // Runs one proposal in the fixed order on a copy of `order` (the caller's is unchanged) and
  // journals its end: an open entry for a submit, a refused entry for every refusal (a new
  // halt writes its halted entry first), nothing for parked. A failed append is warned about
  // on `err` and never changes the outcome.
  Outcome propose(const Order& order, const Context& context);

  // The freshness re-check after the owner's yes, under the rule the yes was given for: quote
  // age, notional drift, leg intents against fresh positions, then the rule the fresh order
  // falls under. The first test that fails gives the reason text.
  Result<void, std::string> revalidate(const Order& order, const Context& context,
                                       std::string_view approved_rule);

  // Journals the open entry (an exit names the one open trade of its symbol, if exactly one)
  // and returns the submit with its ticket. A failed append warns and still submits, carrying
  // the error so that the order is not sent unrecorded.
  static Outcome fire(const Journal& journal, const Order& order, const Context& context,
                      const Approval& approval, std::string_view rule, std::ostream& err);

  // Journals the refused entry with the outcome code and the `gate_rule` label; the thesis is
  // the order's, or the reason when the order has none. For the owner's no, `denied` is the
  // fingerprint refused and the time until which it is suppressed, journalled with it so that
  // the refusal outlives a denial memory that could not be saved. A failed append warns.
  static void refuse(const Journal& journal, const Order& order, const Context& context,
                     std::string_view outcome, std::string_view label, std::string_view reason,
                     std::ostream& err,
                     const std::optional<std::pair<std::string, double>>& denied = std::nullopt);
};

// When `result` failed, writes "tovra trade: WARNING: journal write FAILED ({label}): {error}"
// and a line end to `err`; otherwise nothing.
void warn_if_unwritten(const Result<void, std::error_code>& result, std::string_view label,
                       std::ostream& err);

// --- Journal records after the proposal road. Each returns its append's result and prints
// nothing; the caller decides what a failed write means.

// Appends the close event unchanged.
Result<void, std::error_code> record_close(const Journal& journal, const CloseEntry& entry);

// Appends a "rejected" fill for an order the broker never created, stamped with the wall
// clock: nothing filled of `qty`, note "REFUSED AT THE WIRE, never created: {reason}".
Result<void, std::error_code> record_unplaced(const Journal& journal,
                                              const std::string& client_order_id,
                                              std::string_view reason, double qty);

// The ids of the journal's trades that have no fill yet (closed or not), in journal order.
std::vector<std::string> awaiting_reconciliation(const Journal& journal);
// The same of trades already folded.
std::vector<std::string> awaiting_reconciliation(const Trades& trades);

// The same trades with their age: now minus the open entry's time, never below 0.
std::vector<std::pair<std::string, double>> awaiting_with_age(const Journal& journal, double now);
// The same of trades already folded.
std::vector<std::pair<std::string, double>> awaiting_with_age(const Trades& trades, double now);

// What `reconcile` journalled, in the statuses' order: the ids whose fill was written, and the
// ids whose fill could not be, with the write's error (those still await reconciliation).
struct Reconciled {
  std::vector<std::string> recorded;
  std::vector<std::pair<std::string, std::error_code>> unwritten;
};

// Journals a fill stamped `now` for each status whose word is a final or partial one and whose
// order is not settled yet (a fill recorded that is not "partial"). A status still working
// (partly filled with nothing yet counts as working) is in neither list.
Reconciled reconcile(const Journal& journal, std::span<const BrokerStatus> statuses, double now);

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
