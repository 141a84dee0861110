// Option symbols and the facts of an order's legs, worked out from the account's positions:
// whether a leg closes an existing position, whether a sold leg is covered, and the most a
// multi-leg ticket can lose. Pure computations; nothing here makes a request.
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
    if (same_instrument(p.symbol, symbol)) return &p;
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

// What a sold leg asks of its cover: its units, and one whole unit when it has none that read.
double units_to_cover(double units) {
  return units > 0 ? units : 1.0;
}

// What is left to cover sold legs with, used up leg by leg: each bought unit covers one sold
// unit of its series, each 100 shares held one sold call unit (each 100 short, one sold put).
class Cover {
 public:
  Cover(const Order& order, const std::vector<double>& units,
        const std::vector<Position>& positions)
      : positions_(positions) {
    for (std::size_t i = 0; i < order.legs.size(); ++i) {
      const Leg& leg = order.legs[i];
      if (leg.side != Side::Buy || leg.intent != Intent::Opening) continue;
      if (auto occ = parse_occ(leg.symbol)) longs_of(*occ) += std::max(units[i], 0.0);
    }
  }

  // Takes cover for `units` sold units of `series`; false when some are left without.
  bool take(const Occ& series, double units) {
    double& longs = longs_of(series);
    const double from_longs = std::min(longs, units);
    longs -= from_longs;
    const double left = units - from_longs;
    if (!(left > 0)) return true;
    // Shares an open order already holds may be gone before the call is assigned.
    double& stock = shares_of(series.root);
    const double shares = std::max(left, 1.0) * kSharesPerContract;
    if (series.right == 'C' ? !(stock >= shares) : !(stock <= -shares)) return false;
    stock += series.right == 'C' ? -shares : shares;
    return true;
  }

 private:
  double& longs_of(const Occ& series) {
    for (auto& [known, units] : longs_)
      if (same_series(known, series)) return units;
    return longs_.emplace_back(series, 0.0).second;
  }
  double& shares_of(const std::string& root) {
    for (auto& [known, shares] : shares_)
      if (known == root) return shares;
    const Position* p = find_position(root, positions_);
    return shares_.emplace_back(root, p != nullptr ? p->closable_f64() : 0.0).second;
  }

  const std::vector<Position>& positions_;
  std::vector<std::pair<Occ, double>> longs_;
  std::vector<std::pair<std::string, double>> shares_;
};

// The legs of a multi-leg option ticket, parsed; none when one is no option contract.
std::optional<std::vector<Occ>> contracts_of(const Order& order) {
  if (!is_multi_leg(order)) return std::nullopt;
  std::vector<Occ> contracts;
  for (const Leg& leg : order.legs) {
    auto occ = parse_occ(leg.symbol);
    if (!occ) return std::nullopt;
    contracts.push_back(std::move(*occ));
  }
  return contracts;
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
  // A multi-leg ticket is sent as its legs alone, so it closes exactly when every leg does,
  // whatever a position in the order's own symbol would say.
  if (is_multi_leg(order))
    order.intent = std::all_of(order.legs.begin(), order.legs.end(),
                               [](const Leg& leg) { return leg.intent == Intent::Closing; })
                       ? Intent::Closing
                       : Intent::Opening;
}

void derive_leg_covered(Order& order, const std::vector<Position>& positions) {
  const auto units = wire_form(order).leg_units;
  Cover cover(order, units, positions);
  for (std::size_t i = 0; i < order.legs.size(); ++i) {
    Leg& leg = order.legs[i];
    if (leg.side == Side::Buy || leg.intent == Intent::Closing) {
      leg.covered = true;
      continue;
    }
    if (auto series = parse_occ(leg.symbol))
      leg.covered = cover.take(*series, units_to_cover(units[i]));
  }
}

void derive_leg_facts(Order& order, const std::vector<Position>& positions) {
  derive_leg_reduces(order, positions);
  derive_leg_covered(order, positions);
}

std::optional<std::string> ticket_root(const Order& order) {
  const auto contracts = contracts_of(order);
  if (!contracts) return std::nullopt;
  for (const Occ& c : *contracts)
    if (c.root != contracts->front().root) return std::nullopt;
  return contracts->front().root;
}

std::optional<LegsLoss> derive_max_loss(const Order& order, double net) {
  const auto contracts = contracts_of(order);
  if (!contracts) return std::nullopt;
  const Occ& first = contracts->front();
  for (const Occ& c : *contracts)
    if (c.root != first.root || c.expiry != first.expiry) return std::nullopt;
  const Wire wire = wire_form(order);
  // The ticket's value at expiry is piecewise linear in the underlying's price, bending only at
  // the strikes: its lowest point is at a price of 0, at a strike, or, when it falls above the
  // highest strike, nowhere.
  std::vector<double> signed_units;
  double slope_above = 0;
  std::vector<double> prices{0.0};
  for (std::size_t i = 0; i < contracts->size(); ++i) {
    const double units = wire.leg_units[i];
    if (!std::isfinite(units) || !(units > 0)) return std::nullopt;
    signed_units.push_back(order.legs[i].side == Side::Buy ? units : -units);
    if ((*contracts)[i].right == 'C') slope_above += signed_units.back();
    prices.push_back((*contracts)[i].strike);
  }
  double lowest = 0;
  for (double price : prices) {
    double value = 0;
    for (std::size_t i = 0; i < contracts->size(); ++i) {
      const Occ& c = (*contracts)[i];
      value +=
          signed_units[i] * std::max(c.right == 'C' ? price - c.strike : c.strike - price, 0.0);
    }
    lowest = std::min(lowest, value);
  }
  const double paid = std::isfinite(net) ? net * wire.qty : 0.0;
  // fmax and + 0.0: a credit that covers everything leaves 0, never -0.
  return LegsLoss{std::fmax((paid - lowest) * kSharesPerContract, 0.0) + 0.0, !(slope_above < 0)};
}

}  // namespace vavev_aziz::alpaca
