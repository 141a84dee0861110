#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_rules(const Args&, Io io) { return not_built("rules", io); }

}  // namespace trade
