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

constexpr std::string_view kWho = "tovra trade close";

}  // namespace

Exit cmd_close(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);
  const auto open = journal.open_trades();

  const auto part = value_of(args, "--id");
  if (!part) {
    std::string message = "--id <client_order_id> is required\n  open now:";
    for (const auto& t : open)
      message += fmt::format("\n    {}  {}", t.id(), t.symbol());
    return fail(io.err, message, kWho);
  }
  std::vector<const vz::Trade*> matches;
  for (const auto& t : open)
    if (t.id().find(*part) != std::string_view::npos) matches.push_back(&t);
  if (matches.empty()) return fail(io.err, fmt::format("no OPEN trade matching '{}'", *part), kWho);
  if (matches.size() > 1)
    return fail(
        io.err,
        fmt::format("'{}' matches {} open trades \u2014 use more of the id", *part, matches.size()),
        kWho);

  // A P&L that is not finite would be journalled as null, and the reader drops such a line:
  // the close would be lost while reported as done.
  const auto pnl = decimal_of(args, "--pnl");
  if (!pnl || !std::isfinite(*pnl))
    return fail(io.err, "--pnl N is required (realized, net)", kWho);

  const vz::Trade& trade = *matches.front();
  const double at = vz::platform::now_seconds();
  const auto recorded =
      vz::record_close(journal, vz::CloseEntry{
                                    .id = std::string(trade.id()),
                                    .at = at,
                                    .realized_pnl = *pnl,
                                    .outcome = value_of(args, "--outcome").value_or("closed_early"),
                                    .underlying_price = decimal_of(args, "--price"),
                                    .note = value_of(args, "--note").value_or(""),
                                });

  // Saying "closed" of a close the journal does not hold would leave its risk budget silently
  // taken.
  if (!recorded)
    return fail(io.err,
                fmt::format("journal write FAILED ({}) \u2014 the close of {} is not in the "
                            "journal; nothing was recorded",
                            path->string(), trade.id()),
                kWho);
  io.out << fmt::format("closed {} ({}) P&L {}\n  {} still open\n", trade.id(), trade.symbol(),
                        vz::numbers::fixed(*pnl, 2, true), open.size() - 1);
  return Exit::Ok;
}

}  // namespace trade
