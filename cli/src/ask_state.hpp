// The account's risk state on disk, and the limits. Both are optional files (a missing one is
// a fresh state or the default limits, silently), but a file that exists and does not read is
// reported, and a damaged risk state is kept aside rather than overwritten, since the halt it
// may hold is the one thing a save must not erase. Runs on one account may overlap: every
// change to risk.json is made under the lock beside it and merged into what is there.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>

#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/risk.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {

// The risk state as loaded, and whether a save may replace the file.
struct LoadedRisk {
  vavev_aziz::RiskState state;
  // False when the file did not read and could not be set aside either: saving would then
  // destroy the only copy of a state that may hold a halt.
  bool savable = true;
};

// The risk state in `path`; a fresh state when the file is missing. A file that cannot be read
// or parsed is renamed, under the lock and only if it still does not read then, to
// "<name>.corrupt-<now in whole seconds>" in the same folder, with a WARNING on `err`, and a
// fresh state is returned; when the rename fails, the file stays as it is and is not to be
// saved over.
LoadedRisk load_risk_state(const std::filesystem::path& path, double now, std::ostream& err);

// Saves this run's risk `state`, which was `read` at the run's start, into `path`: under the
// lock beside it the file is read again and the two are merged (`merge_risk_states`), so a
// halt another run saved meanwhile is kept and one a `resume` cleared is not brought back.
// Written atomically (a sibling flushed to disk, renamed over `path`, the folder flushed);
// missing folders are created. A file there that does not read is set aside as at loading.
// Returns the state as saved, merged, or the first failing step's error; the old file stays
// intact unless the rename happened.
vavev_aziz::Result<vavev_aziz::RiskState, std::error_code> save_risk(
    const std::filesystem::path& path, const vavev_aziz::RiskState& state,
    const vavev_aziz::RiskState& read);

// What `trades`, a fold of the account's journal, shows of halts.
vavev_aziz::JournalHalts journal_halts(const vavev_aziz::Trades& trades);

// Makes the journal's halt the halt in force when `state` holds none and no person has cleared
// it (`RiskState::restore`), with a NOTE on `err`: a halt journalled by a run whose save failed
// stands until `resume`, like any other.
void restore_journalled_halt(vavev_aziz::RiskState& state, const vavev_aziz::JournalHalts& journal,
                             std::ostream& err);

// Clears the halt in force in `path`, under the lock, keeping every other field as the file has
// it now: the file's halt, else the journal's (`journal`, read from the file `journal_path`)
// when no person has cleared it yet; every halt written before the place the journal was read
// to counts as cleared from then on (`RiskState::clear`). Returns the halt removed, nothing
// when there is none (nothing is written then), or the reason the clear could not be made. A
// missing file is a fresh state.
vavev_aziz::Result<std::optional<vavev_aziz::Halt>, std::string> clear_halt(
    const std::filesystem::path& path, const vavev_aziz::JournalHalts& journal,
    const std::filesystem::path& journal_path);

// What a risk state that could not be saved means, for the warning that says so: a halt stands
// all the same, as the journal keeps it until `resume`; only one that this run raised (`state`
// holds it, `read` did not) and could not journal either is lost with the run.
std::string_view unsaved_risk_outcome(const vavev_aziz::RiskState& state,
                                      const vavev_aziz::RiskState& read);

// The limits in trade-limits.json beside the rule table; the defaults when there is no
// configuration path or no such file, and also, after a WARNING on `err`, when the file does
// not read.
vavev_aziz::Limits load_limits(std::ostream& err);

}  // namespace trade
