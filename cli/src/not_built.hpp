// The placeholder answer of a command whose implementation has not landed yet.
#pragma once

#include <string_view>

#include "run.hpp"

namespace trade {

inline int not_built(std::string_view word, Io io) {
  io.err << "tovra trade: " << word << ": not built yet\n";
  return 3;
}

}  // namespace trade
