// A span of time as whole seconds and nanoseconds, the unit of time limits and suppression.
#pragma once

#include <cstdint>

namespace vavev_aziz {

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;

  static Duration seconds(std::uint64_t s) { return Duration{s, 0}; }
  double as_seconds() const { return static_cast<double>(secs) + nanos / 1e9; }
  friend bool operator==(const Duration&, const Duration&) = default;
};

}  // namespace vavev_aziz
