// Tables indexed by an enumeration. Each row names the enumerator it stands for, and the
// table is sound when row i names enumerator i for every enumerator up to the last; checked in
// static_asserts, so a row added, dropped or moved fails the build.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>

namespace vavev_aziz {

template <class Rows, class Row, class E>
constexpr bool indexed_by(const Rows& rows, E Row::*key, E last) {
  if (std::size(rows) != static_cast<std::size_t>(last) + 1) return false;
  std::size_t i = 0;
  for (const Row& row : rows)
    if (static_cast<std::size_t>(row.*key) != i++) return false;
  return true;
}

// One member of every row, in the rows' order (the words a reader offers, for instance).
template <class Row, std::size_t N, class T>
constexpr std::array<T, N> column(const Row (&rows)[N], T Row::*member) {
  std::array<T, N> out{};
  for (std::size_t i = 0; i < N; ++i)
    out[i] = rows[i].*member;
  return out;
}

}  // namespace vavev_aziz
