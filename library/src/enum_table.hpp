// Tables indexed by an enumeration. The enumeration ends in `Count`, the number of its
// enumerators (not one of them); each row names the enumerator it stands for, and the table is
// sound when it has exactly `Count` rows and row i names enumerator i. Checked in
// static_asserts, so a row added, dropped or moved, or an enumerator added without its row,
// fails the build.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>

namespace vavev_aziz {

template <class Rows, class Row, class E>
constexpr bool indexed_by(const Rows& rows, E Row::*key) {
  if (std::size(rows) != static_cast<std::size_t>(E::Count)) return false;
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
