// The program's single entry: one command per invocation.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace trade {

using Args = std::vector<std::string>;

// Where a command writes: results to `out`, diagnostics to `err`.
struct Io {
  std::ostream& out;
  std::ostream& err;
};

// The exit statuses. One number means different things to different commands, so each
// meaning has a name of its own and a command says which it means.
enum class Exit : int {
  Ok = 0,
  Refused = 1,     // ask: the proposal was refused
  RuleAsks = 1,    // check: the rule would ask the owner
  NotPresent = 1,  // resume: nobody confirmed presence
  Denied = 2,      // check: the rule denies
  Parked = 2,      // ask: staged for the owner's later answer
  NoAccount = 2,   // the account selector is missing
  Error = 3,       // usage, configuration, file or broker error
};

// The one way a command stops on an error: writes `who` (a command's own prefix, such as
// "tovra trade close", else "tovra trade"), ": ", `message` and a line end to `err`, and
// returns Exit::Error. A message of several lines carries its indented continuations itself.
Exit fail(std::ostream& err, std::string_view message, std::string_view who = "tovra trade");

// Runs the command line `args` (the arguments after the program name) and returns the exit
// status: `--describe` anywhere, the help words, then the command table.
int run(const Args& args, std::ostream& out, std::ostream& err);

// True when ALPACA_ACCOUNT is set, valid text and not empty; otherwise writes the four-line
// selector notice to `err` and returns false.
bool account_selected(std::ostream& err);

// The fixed usage text (80 lines, each ending in a line feed).
extern const char* const kUsage;

}  // namespace trade
