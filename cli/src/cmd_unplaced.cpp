// `unplaced`: records that the broker never created an order the journal still shows as
// awaiting it (a rejected fill), which frees the order's position slot and risk budget.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "report.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace trade {
namespace {

namespace vz = vavev_aziz;

constexpr std::string_view kWho = "tovra trade unplaced";

// The quantity the order's open entry recorded, if any.
std::optional<double> recorded_qty(const vz::Trades& trades, const std::string& id) {
  const vz::Trade* t = trades.find(id);
  return t ? t->qty() : std::nullopt;
}

}  // namespace

Exit cmd_unplaced(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);
  const auto trades = journal.trades();
  const auto awaiting = vz::awaiting_reconciliation(trades);

  const auto part = value_of(args, "--id");
  if (!part) {
    std::string message = "--id <client_order_id> is required\n  awaiting the broker now:";
    for (const auto& id : awaiting)
      message += "\n    " + id;
    return fail(io.err, message, kWho);
  }
  const auto reason = value_of(args, "--reason");
  if (!reason)
    return fail(io.err, "--reason \"\u2026\" is required \u2014 what the broker said", kWho);

  std::vector<const std::string*> matches;
  for (const auto& id : awaiting)
    if (id.find(*part) != std::string::npos) matches.push_back(&id);
  if (matches.empty())
    return fail(io.err, fmt::format("no order awaiting the broker matching '{}'", *part), kWho);
  if (matches.size() > 1)
    return fail(io.err,
                fmt::format("'{}' matches {} \u2014 use more of the id", *part, matches.size()),
                kWho);

  // A quantity that is not finite would be journalled as null, and the reader drops such a
  // line: it counts as not given.
  const std::string& id = *matches.front();
  auto qty = recorded_qty(trades, id);
  if (const auto given = decimal_of(args, "--qty"); given && std::isfinite(*given)) qty = given;
  if (!qty)
    return fail(io.err,
                "this ticket predates the recorded quantity, so I do not know how many were "
                "attempted.\n  Pass --qty N. Guessing would put a made-up number into "
                "attribution.",
                kWho);

  if (!vz::record_unplaced(journal, id, *reason, *qty))
    return fail(io.err,
                fmt::format("journal write FAILED ({}) \u2014 {} is not recorded as refused; "
                            "nothing was recorded",
                            path->string(), id),
                kWho);
  io.out << "recorded as refused at the wire: " << id << '\n' << counts_line(journal.trades());
  return Exit::Ok;
}

}  // namespace trade
