#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_resume(Io io) { return not_built("resume", io); }

}  // namespace trade
