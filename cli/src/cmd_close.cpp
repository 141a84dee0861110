#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_close(const Args&, Io io) { return not_built("close", io); }

}  // namespace trade
