#include "options.hpp"

#include <algorithm>

#include "vavev_aziz/support/numbers.hpp"

namespace trade {

bool has(const Args& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

std::optional<std::string> value_of(const Args& args, std::string_view name) {
  auto at = std::find(args.begin(), args.end(), name);
  if (at == args.end() || at + 1 == args.end()) return std::nullopt;
  return *(at + 1);
}

std::optional<double> decimal(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return vavev_aziz::numbers::parse_decimal(*value);
}

std::optional<std::uint64_t> whole(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return vavev_aziz::numbers::parse_whole(*value);
}

std::optional<double> decimal_of(const Args& args, std::string_view name) {
  return decimal(value_of(args, name));
}

}  // namespace trade
