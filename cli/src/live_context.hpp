// The live context of `check` and `ask`: the account's equity, its open positions and whether
// it is a paper account, read once at the start of the run, with the fallbacks used when the
// broker cannot be reached; and the equity rule that refuses to judge a risk-increasing order
// while the equity is only a placeholder.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "order_options.hpp"
#include "run.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/risk.hpp"

namespace trade {

// Where the equity came from.
inline constexpr std::string_view kEquityLive = "live";
inline constexpr std::string_view kEquityOffline = "offline";
inline constexpr std::string_view kEquityNoCredentials =
    "no credentials \u2014 using default equity";
inline constexpr std::string_view kEquityUnreadable =
    "live (equity unreadable \u2014 using default)";

// The equity used when neither the broker nor `--equity` gives one.
inline constexpr double kPlaceholderEquity = 100000.0;

struct LiveContext {
  std::vector<vavev_aziz::alpaca::Position> positions;  // empty when offline or unreadable
  std::string source;                                   // one of the four kEquity texts
  double equity = kPlaceholderEquity;
  // Broker only when `equity` was read from the broker in this run; the survival layer lets no
  // other equity move the baselines it keeps.
  vavev_aziz::EquitySource equity_source = vavev_aziz::EquitySource::Stated;
  bool paper = false;         // the client's base address is the paper endpoint, exactly
  bool equity_known = false;  // false while `equity` is the placeholder
  bool book_read = false;     // `positions` came from the broker in this run, empty or not
};

// Reads `--equity` and `--offline`, then (unless offline) the account and the positions from a
// client built from the environment. Never fails: a missing client, an unreadable account or
// a non-positive equity fall back to `--equity`, else the placeholder. An `--equity` value
// counts only when it is a finite number above zero, and, for a run that `may_send` through a
// client that reads no equity, not at all: there it would be the agent's word shrinking every
// order that goes out.
LiveContext live_context(const OrderOptions& options, bool may_send = false);

// False, after writing the four-line refusal to `err`, when the equity is not known and the
// order does not reduce risk; true otherwise. The caller then exits 3. Call it after the
// legs' facts have been derived.
bool passes_equity_rule(const LiveContext& context, const vavev_aziz::Order& order,
                        std::ostream& err);

}  // namespace trade
