#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_account(const Args&, Io io) { return not_built("account", io); }

}  // namespace trade
