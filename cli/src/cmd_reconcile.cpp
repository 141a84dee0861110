#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_reconcile(const Args&, Io io) { return not_built("reconcile", io); }

}  // namespace trade
