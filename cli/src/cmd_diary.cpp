#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

int cmd_diary(const Args&, Io io) { return not_built("diary", io); }

}  // namespace trade
