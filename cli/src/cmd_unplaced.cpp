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

int fail(Io io, std::string_view message) {
  io.err << "tovra trade unplaced: " << message << '\n';
  return 3;
}

// The quantity the order's open entry recorded, if any.
std::optional<double> recorded_qty(const vz::Trades& trades, const std::string& id) {
  const vz::Trade* t = trades.find(id);
  return t ? t->qty() : std::nullopt;
}

}  // namespace

int cmd_unplaced(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);
  const auto trades = journal.trades();
  const auto awaiting = vz::awaiting_reconciliation(trades);

  const auto part = flag(args, "--id");
  if (!part) {
    io.err << "tovra trade unplaced: --id <client_order_id> is required\n"
              "  awaiting the broker now:\n";
    for (const auto& id : awaiting)
      io.err << "    " << id << '\n';
    return 3;
  }
  const auto reason = flag(args, "--reason");
  if (!reason) return fail(io, "--reason \"\u2026\" is required \u2014 what the broker said");

  std::vector<const std::string*> matches;
  for (const auto& id : awaiting)
    if (id.find(*part) != std::string::npos) matches.push_back(&id);
  if (matches.empty())
    return fail(io, fmt::format("no order awaiting the broker matching '{}'", *part));
  if (matches.size() > 1)
    return fail(io,
                fmt::format("'{}' matches {} \u2014 use more of the id", *part, matches.size()));

  // A quantity that is not finite would be journalled as null, and the reader drops such a
  // line: it counts as not given.
  const std::string& id = *matches.front();
  auto qty = recorded_qty(trades, id);
  if (const auto given = decimal_flag(args, "--qty"); given && std::isfinite(*given)) qty = given;
  if (!qty)
    return fail(io,
                "this ticket predates the recorded quantity, so I do not know how many were "
                "attempted.\n  Pass --qty N. Guessing would put a made-up number into "
                "attribution.");

  vz::record_unplaced(journal, id, *reason, *qty);

  // The recorder swallows a failed append; an order still awaiting afterwards was not recorded.
  const auto after = journal.trades();
  const auto still = vz::awaiting_reconciliation(after);
  if (std::find(still.begin(), still.end(), id) != still.end())
    return fail(io, fmt::format("journal write FAILED ({}) \u2014 {} is not recorded as "
                                "refused; nothing was recorded",
                                path->string(), id));
  io.out << "recorded as refused at the wire: " << id << '\n' << counts_line(after);
  return 0;
}

}  // namespace trade
