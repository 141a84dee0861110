#include "vavev_aziz/support/json_write.hpp"

namespace vavev_aziz::json {

std::string pretty(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json number_or_null(const std::optional<double>& v) {
  return v ? Json(*v) : Json(nullptr);
}

Json text_or_null(const std::optional<std::string>& v) {
  return v ? Json(*v) : Json(nullptr);
}

}  // namespace vavev_aziz::json
