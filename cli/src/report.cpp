#include "report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace vz = vavev_aziz;
namespace json = vavev_aziz::json;
namespace numbers = vavev_aziz::numbers;
using vz::Attribution;
using vz::Journal;

constexpr std::size_t kLabelWidth = 26;

// Labels are structure and proposer texts from the journal, so they may hold any character:
// pad by characters, not bytes (the journal reader admits only valid UTF-8).
std::string pad_label(std::string_view label) {
  const auto chars = static_cast<std::size_t>(
      std::count_if(label.begin(), label.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  std::string padded(label);
  if (chars < kLabelWidth) padded.append(kLabelWidth - chars, ' ');
  return padded;
}

double win_rate(const Attribution& s) {
  return s.n == 0 ? 0.0 : static_cast<double>(s.wins) / static_cast<double>(s.n);
}

std::size_t open_count(const vz::Trades& trades) {
  return static_cast<std::size_t>(std::count_if(trades.begin(), trades.end(),
                                                [](const auto& t) { return t.holds_position(); }));
}

std::string rows(const std::vector<Attribution>& slices) {
  std::string text;
  for (const auto& s : slices)
    text += report_row(s);
  return text;
}

std::string stale_block(const vz::Trades& trades, double now) {
  std::string lines;
  for (const auto& [id, age] : vz::awaiting_with_age(trades, now))
    if (age > kStaleAfterSeconds)
      lines += fmt::format("    {}  {}h\n", vz::text::first_bytes(id, 18),
                           numbers::fixed(age / 3600, 1));
  if (lines.empty()) return lines;
  return "\n  STALE \u2014 awaiting the broker for more than a session:\n" + lines +
         "    Each holds a position slot and part of the risk budget. Reconcile them,\n"
         "    or record the ones the broker never created: tovra trade unplaced --id X \u2026\n";
}

std::string exits_block(const std::vector<vz::ExitGap>& exits) {
  if (exits.empty()) return {};
  std::string text = fmt::format(
      "\nFILLED EXITS WITH NO RESULT RECORDED  ({} \u2014 these are missing from every row "
      "above)\n",
      exits.size());
  for (const auto& e : exits) {
    const auto exit_id = vz::text::first_bytes(e.exit_id, 8);
    if (e.closes)
      text += fmt::format(
          "  {}  exit {} filled \u2014 record it:\n"
          "      tovra trade close --id {} --pnl <realized>\n",
          e.symbol, exit_id, vz::text::first_bytes(*e.closes, 8));
    else
      text += fmt::format(
          "  {}  exit {} filled against a position this journal never opened \u2014 nothing "
          "to close\n",
          e.symbol, exit_id);
  }
  return text;
}

json::Json row_json(const Attribution& s) {
  json::Json o = json::Json::object();
  o["label"] = s.label;
  o["n"] = s.n;
  o["wins"] = s.wins;
  o["win_rate"] = win_rate(s);
  o["mean_ror"] = s.mean_ror;
  o["t_stat"] = s.t_stat();
  o["family_size"] = s.family_size;
  const auto needed = s.n_needed();
  o["n_needed"] = needed ? json::Json(*needed) : json::Json(nullptr);
  o["total_pnl"] = s.total_pnl;
  o["verdict"] = s.verdict();
  return o;
}

json::Json rows_json(const std::vector<Attribution>& slices) {
  json::Json list = json::Json::array();
  for (const auto& s : slices)
    list.push_back(row_json(s));
  return list;
}

}  // namespace

std::string counts_line(const vz::Trades& trades) {
  return fmt::format("  {} open \u00b7 {} awaiting reconciliation\n", open_count(trades),
                     vz::awaiting_reconciliation(trades).size());
}

std::string report_row(const Attribution& s) {
  if (s.n == 0) return {};
  return fmt::format("  {} n={:<4} win {:>5}%  meanROR {:>6}%  P&L {:>10}\n      {}\n",
                     pad_label(s.label), s.n, numbers::fixed(win_rate(s) * 100, 1),
                     numbers::fixed(s.mean_ror * 100, 2, true),
                     numbers::fixed(s.total_pnl, 2, true), s.verdict());
}

std::string report_text(const Journal& journal, double now) {
  const auto trades = journal.trades();
  const auto slices = vz::attribute(trades);
  const auto& all = slices.overall;
  std::string text = journal.path().string() + "\n\nOVERALL\n";
  text +=
      all.n == 0 ? "  no closed, filled trades yet \u2014 nothing to attribute\n" : report_row(all);
  text += "\nBY IV RANK AT ENTRY  (the regime question: harvest when rich, stand down when not)\n" +
          rows(slices.by_iv_rank);
  text += "\nBY STRUCTURE\n" + rows(slices.by_structure);

  // One scored proposer has nothing to be compared with, so the block needs two.
  const auto& proposers = slices.by_proposer;
  if (std::count_if(proposers.begin(), proposers.end(), [](const auto& s) { return s.n > 0; }) >= 2)
    text += "\nBY PROPOSER  (does the human-prompted flow pick different trades than the loop?)\n" +
            rows(proposers);

  text += '\n';
  text += counts_line(trades);
  text += stale_block(trades, now);
  text += exits_block(vz::exits_awaiting_close(trades));
  return text;
}

std::string report_json(const Journal& journal) {
  const auto trades = journal.trades();
  const auto slices = vz::attribute(trades);
  json::Json o = json::Json::object();
  o["overall"] = row_json(slices.overall);
  o["by_iv_rank"] = rows_json(slices.by_iv_rank);
  o["by_structure"] = rows_json(slices.by_structure);
  o["by_proposer"] = rows_json(slices.by_proposer);
  o["open"] = open_count(trades);
  o["awaiting_reconciliation"] = vz::awaiting_reconciliation(trades).size();
  json::Json exits = json::Json::array();
  for (const auto& e : vz::exits_awaiting_close(trades)) {
    json::Json x = json::Json::object();
    x["exit_id"] = e.exit_id;
    x["symbol"] = e.symbol;
    x["closes"] = json::text_or_null(e.closes);
    x["named"] = e.named;
    exits.push_back(std::move(x));
  }
  o["exits_awaiting_close"] = std::move(exits);
  return json::pretty(o) + "\n";
}

}  // namespace trade
