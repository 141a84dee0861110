#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_unplaced(const Args&, Io io) { return not_built("unplaced", io); }

}  // namespace trade
