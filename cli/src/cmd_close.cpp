// `close`: records the realized result of one open trade, found by any part of its id. The
// close takes the trade out of the open set (freeing its slot and risk budget) and into
// attribution.
#include <fmt/format.h>

#include <cmath>
#include <vector>

#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

namespace vz = vavev_aziz;

int fail(Io io, std::string_view message) {
  io.err << "tovra trade close: " << message << '\n';
  return 3;
}

}  // namespace

int cmd_close(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);
  const auto open = journal.open_trades();

  const auto part = flag(args, "--id");
  if (!part) {
    io.err << "tovra trade close: --id <client_order_id> is required\n  open now:\n";
    for (const auto& t : open)
      io.err << "    " << t.id() << "  " << t.symbol() << '\n';
    return 3;
  }
  std::vector<const vz::Trade*> matches;
  for (const auto& t : open)
    if (t.id().find(*part) != std::string_view::npos) matches.push_back(&t);
  if (matches.empty()) return fail(io, fmt::format("no OPEN trade matching '{}'", *part));
  if (matches.size() > 1)
    return fail(io, fmt::format("'{}' matches {} open trades \u2014 use more of the id", *part,
                                matches.size()));

  // A P&L that is not finite would be journalled as null, and the reader drops such a line:
  // the close would be lost while reported as done.
  const auto pnl = decimal_flag(args, "--pnl");
  if (!pnl || !std::isfinite(*pnl)) return fail(io, "--pnl N is required (realized, net)");

  const vz::Trade& trade = *matches.front();
  const double at = vz::platform::now_seconds();
  vz::record_close(journal, vz::CloseEntry{
                                .id = std::string(trade.id()),
                                .at = at,
                                .realized_pnl = *pnl,
                                .outcome = flag(args, "--outcome").value_or("closed_early"),
                                .underlying_price = decimal_flag(args, "--price"),
                                .note = flag(args, "--note").value_or(""),
                            });

  // The recorder swallows a failed append; a trade still open afterwards means the close is
  // not in the journal, and saying "closed" would leave its risk budget silently taken.
  const auto after = journal.open_trades();
  if (after.find(trade.id()))
    return fail(io, fmt::format("journal write FAILED ({}) \u2014 the close of {} is not in the "
                                "journal; nothing was recorded",
                                path->string(), trade.id()));
  io.out << fmt::format("closed {} ({}) P&L {}\n  {} still open\n", trade.id(), trade.symbol(),
                        vz::numbers::fixed(*pnl, 2, true), after.size());
  return 0;
}

}  // namespace trade
