#include "order_options.hpp"

#include <algorithm>
#include <ostream>
#include <variant>

#include <fmt/format.h>

#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

using Value = std::optional<std::string> OrderOptions::*;
using Values = std::vector<std::string> OrderOptions::*;
using Switch = bool OrderOptions::*;

struct Row {
  std::string_view name;
  std::variant<Value, Values, Switch> field;
};

// Every option `check` and `ask` read. `check` knows `ask`'s own options too, so one argument
// list serves both commands.
const Row kRows[] = {
    {"--symbol", &OrderOptions::symbol},
    {"--notional", &OrderOptions::notional},
    {"--class", &OrderOptions::asset_class},
    {"--side", &OrderOptions::side},
    {"--intent", &OrderOptions::intent},
    {"--limit", &OrderOptions::limit},
    {"--limit-credit", &OrderOptions::limit_credit},
    {"--limit-debit", &OrderOptions::limit_debit},
    {"--qty", &OrderOptions::qty},
    {"--why", &OrderOptions::why},
    {"--leg", &OrderOptions::leg},
    {"--legs", &OrderOptions::legs},
    {"--equity", &OrderOptions::equity},
    {"--verdict", &OrderOptions::verdict},
    {"--max-loss", &OrderOptions::max_loss},
    {"--credit", &OrderOptions::credit},
    {"--iv-rank", &OrderOptions::iv_rank},
    {"--iv", &OrderOptions::iv},
    {"--delta", &OrderOptions::delta},
    {"--dte", &OrderOptions::dte},
    {"--structure", &OrderOptions::structure},
    {"--by", &OrderOptions::by},
    {"--max-quote-age", &OrderOptions::max_quote_age},
    {"--max-drift", &OrderOptions::max_drift},
    {"--naked", &OrderOptions::naked},
    {"--offline", &OrderOptions::offline},
    {"--dry-run", &OrderOptions::dry_run},
    {"--json", &OrderOptions::json},
};

const Row* row_named(std::string_view name) {
  const auto at = std::find_if(std::begin(kRows), std::end(kRows),
                               [&](const Row& row) { return row.name == name; });
  return at == std::end(kRows) ? nullptr : at;
}

constexpr std::string_view kNothingDone =
    "  Nothing was judged, written or sent. Options are spelled exactly as `tovra-trade\n"
    "  help` lists them, and a value follows its option as the next argument.";

}  // namespace

vavev_aziz::Result<OrderOptions, Exit> read_order_options(const Args& args,
                                                          std::string_view command,
                                                          std::ostream& err) {
  const std::string who = fmt::format("tovra trade {}", command);
  OrderOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const Row* row = row_named(word);
    if (row == nullptr)
      return vavev_aziz::Err{fail(
          err,
          fmt::format("{}{}\n{}", word.starts_with("--") ? "unknown option " : "stray argument ",
                      vavev_aziz::text::debug_quoted(word), kNothingDone),
          who)};
    if (const auto* flag = std::get_if<Switch>(&row->field)) {
      o.*(*flag) = true;
      continue;
    }
    if (i + 1 == args.size())
      return vavev_aziz::Err{
          fail(err, fmt::format("{} needs a value\n{}", word, kNothingDone), who)};
    const std::string& value = args[++i];
    if (const auto* many = std::get_if<Values>(&row->field)) {
      (o.*(*many)).push_back(value);
    } else {
      auto& one = o.*std::get<Value>(row->field);
      if (!one) one = value;
    }
    // A switch standing where a value stands is still the switch.
    if (const Row* as_word = row_named(value))
      if (const auto* flag = std::get_if<Switch>(&as_word->field)) o.*(*flag) = true;
  }
  return o;
}

}  // namespace trade
