// Where the program's files live. The rule table is found by the configuration search; the
// base folder is two levels above it; the denial memory is shared under base/var/trade, and
// each account (book) keeps its risk state, journal and diary in its own state folder there.
// Nothing is cached: every call reads the environment and the file system again.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "run.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {

// The rule table's path: TOVRA_TRADE_CONFIG as given (empty included); else
// $TOVRA_HOME/config/trade.json; else $HOME/.tovra/config/trade.json when $HOME/.tovra is a
// folder, otherwise $HOME/.vuzado/config/trade.json. Absent when none of the three is set (an
// empty HOME counts as unset).
std::optional<std::filesystem::path> config_path();

// The folder holding the rule table (and trade-limits.json beside it). Absent when there is
// no configuration path or it is empty or a bare root.
std::optional<std::filesystem::path> config_folder();

// base/var/trade/denials.json, shared by every account. Absent when there is no configuration
// path or it has fewer than two parent levels.
std::optional<std::filesystem::path> memory_path();

// base/var/trade[/account]/`name`, or the reason there is none, to print after
// "tovra trade: ": "no HOME" when there is no base folder (as for `memory_path`). There is no
// account folder when ALPACA_ACCOUNT is unset, empty or exactly "default". Otherwise every
// spelling of the account that reaches the same key names shares one folder: the one that
// already holds the account's state, whatever spelling made it, else the canonical one (the
// key names' suffix lower-cased, "-" between words, and every character other than an ASCII
// letter, digit or "-" as one "_"). When more than one folder holds the account's state, the
// reason names them all.
vavev_aziz::Result<std::filesystem::path, std::string> state_path(std::string_view name);

// The rule table read from the configuration path, or the error text to print after
// "tovra trade: " (no HOME, no file there, a read error, or the reader's error with its line
// and column).
vavev_aziz::Result<vavev_aziz::Gate, std::string> load_gate();

// Fails with "no HOME" for a command that needs a path and has none.
Exit no_home(std::ostream& err);
// Fails with `reason` for a command that cannot have a path it needs.
Exit no_path(std::ostream& err, const std::string& reason);

}  // namespace trade
