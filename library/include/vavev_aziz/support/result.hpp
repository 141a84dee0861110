// A value or an error, the way every fallible operation of the library reports.
//
// Result<T, E> holds exactly one of a T or an E; Result<void, E> holds nothing or an E.
// Errors are built with Err{...} so that T and E may even be the same type:
//
//   Result<Gate, std::string> load() { ... return Err{std::string("bad")}; ... return gate; }
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace vavev_aziz {

// The error side of a Result, kept apart from the value by its own type.
template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class F>
  Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
  Result(Err<F> e) : e_(std::move(e.error)) {}  // NOLINT: implicit by design

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }

  E& error() & { return *e_; }
  const E& error() const& { return *e_; }
  E&& error() && { return std::move(*e_); }

 private:
  std::optional<E> e_;
};

}  // namespace vavev_aziz
