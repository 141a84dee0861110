#include "commands.hpp"
#include "not_built.hpp"

namespace trade {

void cmd_contract(const Args&, Io io) { not_built("contract", io); }

}  // namespace trade
