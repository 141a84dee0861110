// The renderings of the `report` command over one account's journal: the attribution slices
// with their verdicts, the counts of open and awaiting orders, the awaiting orders older than a
// trading session, and the filled exits whose result was never recorded. Each rendering folds
// the journal once and reads every view from that fold; nothing here writes.
#pragma once

#include <span>
#include <string>

#include "vavev_aziz/journal.hpp"

namespace trade {

// An order awaiting the broker for longer than this many seconds (one trading session, six and
// a half hours) is listed as stale; exactly this long is not.
inline constexpr double kStaleAfterSeconds = 23400;

// One slice's two lines: label, count, win rate, mean return on risk and P&L aligned in
// columns, then its verdict indented six blanks. Empty for a slice with `n` 0.
std::string report_row(const vavev_aziz::Attribution& slice);

// "  {} open · {} awaiting reconciliation\n" for the folded trades.
std::string counts_line(const vavev_aziz::Trades& trades);

// The text report, ending with its last line end; ages of awaiting orders are measured
// against `now` (epoch seconds).
std::string report_text(const vavev_aziz::Journal& journal, double now);

// The JSON report: one pretty object followed by a line end. Numbers that are not finite are
// null.
std::string report_json(const vavev_aziz::Journal& journal);

}  // namespace trade
