// The survival layer's inputs as `ask` reads them: the account's risk state and the limits.
// Both are optional files (a missing one is a fresh state or the default limits, silently),
// but a file that exists and does not read is reported, and a damaged risk state is kept aside
// rather than overwritten, since the halt it may hold is the one thing a save must not erase.
#pragma once

#include <filesystem>
#include <ostream>

#include "vavev_aziz/risk.hpp"

namespace trade {

// The risk state as loaded, and whether a save may replace the file.
struct LoadedRisk {
  vavev_aziz::RiskState state;
  // False when the file did not read and could not be set aside either: saving would then
  // destroy the only copy of a state that may hold a halt.
  bool savable = true;
};

// The risk state in `path`; a fresh state when the file is missing. A file that cannot be read
// or parsed is renamed to "<name>.corrupt-<now in whole seconds>" in the same folder, with a
// WARNING on `err`, and a fresh state is returned; when the rename fails, the file stays as it
// is and is not to be saved over.
LoadedRisk load_risk_state(const std::filesystem::path& path, double now, std::ostream& err);

// The limits in trade-limits.json beside the rule table; the defaults when there is no
// configuration path or no such file, and also, after a WARNING on `err`, when the file does
// not read.
vavev_aziz::Limits load_limits(std::ostream& err);

}  // namespace trade
