// Option symbols and the facts of an order's legs, worked out from the account's positions:
// whether a leg closes an existing position, whether a sold leg is covered, and the most a
// vertical spread can lose. Pure computations; nothing here makes a request.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "alpaca_internal.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::alpaca {
namespace {

constexpr double kSharesPerContract = 100;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_alnum(char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

const Position* find_position(std::string_view symbol, const std::vector<Position>& positions) {
  for (const Position& p : positions)
    if (text::equal_ignoring_ascii_case(p.symbol, symbol)) return &p;
  return nullptr;
}

// True when a trade of `qty` on `side` reduces a position of `p` without reversing it; never
// for a flat position, nor for one whose quantity does not read (it counts as 0).
bool reduces(Side side, double p, double qty) {
  if (side == Side::Sell) return p > 0 && qty <= p;
  return p < 0 && qty <= -p;
}

bool same_series(const Occ& a, const Occ& b) {
  return a.root == b.root && a.expiry == b.expiry && a.right == b.right;
}

// The sum of the ratios of the opening legs on `side` whose series is `series`.
std::uint64_t opening_units(const Order& order, Side side, const Occ& series) {
  std::uint64_t units = 0;
  for (const Leg& leg : order.legs) {
    if (leg.side != side || leg.intent != Intent::Opening) continue;
    auto occ = parse_occ(leg.symbol);
    if (occ && same_series(*occ, series)) units += leg.ratio_qty;
  }
  return units;
}

}  // namespace

std::optional<Occ> parse_occ(std::string_view symbol) {
  const std::string_view s = text::trim(symbol);
  const std::size_t n = s.size();
  if (n < 16) return std::nullopt;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;

  const std::string_view strike = s.substr(n - 8);
  const char right = s[n - 9];
  const std::string_view expiry = s.substr(n - 15, 6);
  if (!std::all_of(strike.begin(), strike.end(), is_digit)) return std::nullopt;
  if (right != 'C' && right != 'c' && right != 'P' && right != 'p') return std::nullopt;
  if (!std::all_of(expiry.begin(), expiry.end(), is_digit)) return std::nullopt;
  const std::string_view root = text::trim(s.substr(0, n - 15));
  if (root.empty() || !std::all_of(root.begin(), root.end(), is_alnum)) return std::nullopt;

  std::uint32_t thousandths = 0;
  for (char c : strike)
    thousandths = thousandths * 10 + static_cast<std::uint32_t>(c - '0');
  return Occ{text::ascii_upper(root), std::string(expiry), thousandths / 1000.0,
             (right == 'C' || right == 'c') ? 'C' : 'P'};
}

bool derive_intent(std::string_view symbol, Side side, const std::vector<Position>& positions,
                   double qty) {
  const Position* p = find_position(symbol, positions);
  return p != nullptr && reduces(side, p->closable_f64(), qty);
}

void derive_leg_reduces(Order& order, const std::vector<Position>& positions) {
  const auto quantities = wire_form(order).leg_units;
  // Legs on one position share what it holds: what one leg closes is gone for the next, so two
  // sales of 1 against 1 held close once and open once.
  std::vector<double> left;
  left.reserve(positions.size());
  for (const Position& p : positions)
    left.push_back(p.closable_f64());
  for (std::size_t i = 0; i < order.legs.size(); ++i) {
    Leg& leg = order.legs[i];
    const Position* p = find_position(leg.symbol, positions);
    double* there = p != nullptr ? &left[static_cast<std::size_t>(p - positions.data())] : nullptr;
    const bool closing =
        there != nullptr && quantities[i] > 0 && reduces(leg.side, *there, quantities[i]);
    if (closing) *there += leg.side == Side::Sell ? -quantities[i] : quantities[i];
    leg.intent = closing ? Intent::Closing : Intent::Opening;
  }
}

void derive_leg_covered(Order& order, const std::vector<Position>& positions) {
  const auto quantities = wire_form(order).leg_units;
  for (std::size_t i = 0; i < order.legs.size(); ++i) {
    Leg& leg = order.legs[i];
    if (leg.side == Side::Buy || leg.intent == Intent::Closing) {
      leg.covered = true;
      continue;
    }
    auto series = parse_occ(leg.symbol);
    if (!series) continue;
    const std::uint64_t longs = opening_units(order, Side::Buy, *series);
    const std::uint64_t shorts = opening_units(order, Side::Sell, *series);
    const Position* stock_position = find_position(series->root, positions);
    // Shares an open order already holds may be gone before the call is assigned.
    const double stock = stock_position != nullptr ? stock_position->closable_f64() : 0.0;
    const double shares = std::max(quantities[i], 1.0) * kSharesPerContract;
    const bool by_stock = series->right == 'C' ? stock >= shares : stock <= -shares;
    leg.covered = (shorts >= 1 && shorts <= longs) || by_stock;
  }
}

void derive_leg_facts(Order& order, const std::vector<Position>& positions) {
  derive_leg_reduces(order, positions);
  derive_leg_covered(order, positions);
}

std::optional<double> derive_max_loss(const Order& order, std::optional<double> credit) {
  if (order.asset_class != AssetClass::Option || order.legs.size() != 2) return std::nullopt;
  auto a = parse_occ(order.legs[0].symbol);
  auto b = parse_occ(order.legs[1].symbol);
  if (!a || !b || !same_series(*a, *b)) return std::nullopt;
  const double width = a->strike - b->strike;
  if (width == 0) return std::nullopt;
  const double qty = order.legs[0].qty;
  if (!(qty > 0)) return std::nullopt;
  const double credit_used = credit && *credit > 0 ? *credit : 0.0;
  const double per_share = std::max(std::fabs(width) - credit_used, 0.0);
  // Not a sign fix: a credit covering the width times an infinite quantity is 0 * inf, a NaN
  // with its sign bit set, and fabs keeps it from printing as "-nan".
  return std::fabs(per_share * qty * kSharesPerContract);
}

}  // namespace vavev_aziz::alpaca
