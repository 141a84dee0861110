// What `check` and `ask` were told, read once from the argument list by one table of their
// options. The same table refuses a word that is no option and a valued option with nothing
// after it, so the builder and the commands never read the raw list and never disagree on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"
#include "run.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {

struct OrderOptions {
  // Valued options as given; absent when not given. A repeated one keeps its first value.
  std::optional<std::string> symbol, notional, asset_class, side, intent, limit, limit_credit,
      limit_debit, qty, why, legs, equity, verdict, max_loss, credit, iv_rank, iv, delta, dte,
      structure, by, max_quote_age, max_drift;
  // Every `--leg`, in order.
  std::vector<std::string> leg;
  // Switches.
  bool naked = false, offline = false, dry_run = false, json = false;

  // Whether an approved `ask` may reach the broker: neither a canned `--verdict` answer nor
  // `--offline` holds it back. (`--dry-run` is only decided after the judgement, so an order
  // rehearsed with it is judged exactly as it would be sent.)
  bool may_reach_broker() const { return !verdict && !offline; }
};

// Reads `args` left to right: a valued option takes the next argument as its value, whatever it
// looks like; a switch stands alone. A switch also counts where it stands as another option's
// value, so a rehearsal is never lost to a forgotten value before it. The error, after the
// command's prefix, names the first word that is no option (a misspelt `--dry-run` would
// otherwise turn a rehearsal into a real order) or the valued option that ends the list (a
// `--verdict` with its word forgotten would otherwise send). Written to `err` under "tovra trade
// {command}: "; the error is then Exit::Error.
vavev_aziz::Result<OrderOptions, Exit> read_order_options(const Args& args,
                                                          std::string_view command,
                                                          std::ostream& err);

}  // namespace trade
