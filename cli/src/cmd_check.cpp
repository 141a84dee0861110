#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_check(const Args&, Io io) { return not_built("check", io); }

}  // namespace trade
