#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_report(const Args&, Io io) { return not_built("report", io); }

}  // namespace trade
