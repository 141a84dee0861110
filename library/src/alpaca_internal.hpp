// Small pieces shared by the broker client's sources: the multi-leg test, JSON member lookups and
// the request-then-read-JSON step. Not part of the module's interface.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/json_read.hpp"

namespace vavev_aziz::alpaca {

// Error bodies of the trading API are cut to this many characters.
inline constexpr std::size_t kErrorChars = 400;

// True when the order ships as one multi-leg ticket: an option order with two or more legs.
inline bool is_multi_leg(const Order& order) {
  return order.asset_class == AssetClass::Option && order.legs.size() >= 2;
}

// The member `key` of a JSON object; null when the value is not an object or has no such member.
inline const json::Json* member(const json::Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// The text of a string member, when the value is an object holding one.
inline std::optional<std::string> text_at(const json::Json& object, const char* key) {
  const json::Json* v = member(object, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

// A broker answer's body as JSON; `Decode` with the reader's message when it is not JSON.
inline Result<json::Json, AlpacaError> parse_answer(std::string_view body) {
  auto parsed = json::parse_value(body);
  if (!parsed) return Err{AlpacaError::decode(std::move(parsed).error())};
  return std::move(*parsed);
}

// `http::fetch`, then the body as JSON: its errors, or `parse_answer`'s.
inline Result<json::Json, AlpacaError> fetch_json(const http::Request& request,
                                                  std::size_t error_chars) {
  auto body = http::fetch(request, error_chars);
  if (!body) return Err{std::move(body).error()};
  return parse_answer(*body);
}

}  // namespace vavev_aziz::alpaca
