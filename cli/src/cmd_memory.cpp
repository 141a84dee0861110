#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_memory(const Args&, Io io) { return not_built("memory", io); }

}  // namespace trade
