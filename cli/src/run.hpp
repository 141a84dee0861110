// The program's single entry: one command per invocation.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trade {

using Args = std::vector<std::string>;

// Where a command writes: results to `out`, diagnostics to `err`.
struct Io {
  std::ostream& out;
  std::ostream& err;
};

// Runs the command line `args` (the arguments after the program name) and returns the exit
// status: `--describe` anywhere, the help words, then the command table.
int run(const Args& args, std::ostream& out, std::ostream& err);

// True when ALPACA_ACCOUNT is set, valid text and not empty; otherwise writes the four-line
// selector notice to `err` and returns false.
bool account_selected(std::ostream& err);

// The fixed usage text (80 lines, each ending in a line feed).
extern const char* const kUsage;

}  // namespace trade
