#include "vavev_aziz/support/env.hpp"

#include <cstdlib>

#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::env {

std::optional<std::string> text(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || !text::valid_utf8(v)) return std::nullopt;
  return std::string(v);
}

}  // namespace vavev_aziz::env
