#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_ask(const Args&, Io io) { return not_built("ask", io); }

}  // namespace trade
