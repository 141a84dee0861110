// What the journal learns after the proposal road: the broker's statuses reconciled into
// fills, realized results, orders the broker never created, and which orders still await the
// broker. Nothing here prints: each write's result goes back to the command that made it.
#include <array>
#include <string>
#include <unordered_set>

#include <fmt/format.h>

#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz {
namespace {

// The broker's status words that end (or partly end) an order, and the word journalled for
// each. Any other word means the order is still working.
struct StatusWord {
  std::string_view broker;
  std::string_view journalled;
};
constexpr std::array<StatusWord, 6> kStatusWords = {{
    {"filled", "filled"},
    {"expired", "expired"},
    {"rejected", "rejected"},
    {"canceled", "canceled"},
    {"cancelled", "canceled"},
    {"partially_filled", "partial"},
}};

std::optional<std::string_view> journalled_word(std::string_view broker) {
  for (const auto& w : kStatusWords)
    if (w.broker == broker) return w.journalled;
  return std::nullopt;
}

}  // namespace

Result<void, std::error_code> record_close(const Journal& journal, const CloseEntry& entry) {
  return journal.append({entry});
}

Result<void, std::error_code> record_unplaced(const Journal& journal,
                                              const std::string& client_order_id,
                                              std::string_view reason, double qty) {
  FillEntry fill{client_order_id,
                 platform::now_seconds(),
                 "rejected",
                 0,
                 qty,
                 std::nullopt,
                 std::nullopt,
                 fmt::format("REFUSED AT THE WIRE, never created: {}", reason)};
  return journal.append({std::move(fill)});
}

std::vector<std::string> awaiting_reconciliation(const Journal& journal) {
  return awaiting_reconciliation(journal.trades());
}

std::vector<std::string> awaiting_reconciliation(const Trades& trades) {
  std::vector<std::string> ids;
  for (const auto& trade : trades)
    if (!trade.fill()) ids.emplace_back(trade.id());
  return ids;
}

std::vector<std::pair<std::string, double>> awaiting_with_age(const Journal& journal, double now) {
  return awaiting_with_age(journal.trades(), now);
}

std::vector<std::pair<std::string, double>> awaiting_with_age(const Trades& trades, double now) {
  std::vector<std::pair<std::string, double>> aged;
  for (const auto& trade : trades) {
    if (trade.fill()) continue;
    const double age = now - trade.at();
    aged.emplace_back(trade.id(), age > 0 ? age : 0.0);
  }
  return aged;
}

Reconciled reconcile(const Journal& journal, std::span<const BrokerStatus> statuses, double now) {
  // A partial fill leaves the order open to later statuses; any other fill settles it.
  std::unordered_set<std::string> settled;
  for (const auto& trade : journal.trades())
    if (const auto fill = trade.fill(); fill && fill->status != "partial")
      settled.emplace(trade.id());

  Reconciled done;
  for (const auto& s : statuses) {
    if (settled.contains(s.client_order_id)) continue;
    const auto word = journalled_word(s.status);
    if (!word) continue;
    // Partly filled with nothing yet (or a quantity that does not read) is still working: a
    // partial fill of 0 would free the order's slot and risk budget while the broker works it.
    if (*word == "partial" && !(s.filled_qty > 0)) continue;
    std::string note;
    if (*word == "partial")
      note =
          fmt::format("PARTIAL: {} of {} \u2014 the position is smaller than the thesis described",
                      numbers::shortest(s.filled_qty), numbers::shortest(s.qty));
    FillEntry fill{s.client_order_id,
                   now,
                   std::string(*word),
                   s.filled_qty,
                   s.qty,
                   s.avg_price,
                   s.actual_credit,
                   std::move(note)};
    // Only what reached the journal is reported as recorded, so the caller never calls an
    // order reconciled that still awaits the broker; what did not is reported with its error.
    if (auto written = journal.append({std::move(fill)}))
      done.recorded.push_back(s.client_order_id);
    else
      done.unwritten.emplace_back(s.client_order_id, written.error());
  }
  return done;
}

}  // namespace vavev_aziz
