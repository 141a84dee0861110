// Attribution over closed trades: slices scored by return on risk, and a t-test against a
// critical value raised for the number of slices compared side by side.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace vavev_aziz {
namespace {

struct Bucket {
  std::string_view label;
  double lower;
  double upper;  // exclusive; the top one is above 1 so a rank of exactly 1.0 lands in it
};

constexpr std::array<Bucket, 4> kBuckets = {{
    {"iv_rank 0-25% (cheap)", 0.0, 0.25},
    {"iv_rank 25-50%", 0.25, 0.5},
    {"iv_rank 50-75%", 0.5, 0.75},
    {"iv_rank 75-100% (rich)", 0.75, 1.01},
}};

constexpr std::string_view kOverallLabel = "ALL closed trades";

// Two-sided 5% normal critical values with a Bonferroni correction for k = 1..10.
constexpr std::array<double, 10> kCritical = {1.96, 2.24, 2.39, 2.50, 2.58,
                                              2.64, 2.69, 2.73, 2.77, 2.81};

bool test_structure(std::string_view structure) {
  for (;;) {
    const auto cut = structure.find('_');
    const auto piece = structure.substr(0, cut);
    if (piece == "test" || piece == "smoke") return true;
    if (cut == std::string_view::npos) return false;
    structure.remove_prefix(cut + 1);
  }
}

std::optional<double> return_on_risk(const Trade& t) {
  const auto pnl = t.realized_pnl();
  if (!pnl) return std::nullopt;
  const auto risk = t.effective_max_loss();
  if (!risk || !(*risk > 0)) return std::nullopt;
  return *pnl / *risk;
}

template <class IsTest>
bool countable_by(const Trade& trade, IsTest&& is_test) {
  return trade.closed() && !trade.exit() && trade.placed() && !is_test(trade.structure());
}

// Whether a trade is countable. A fold keeps each structure's text once, so the trades of one
// structure share its bytes, and whether it is a test structure is worked out once per text.
class Countable {
 public:
  bool operator()(const Trade& trade) {
    return countable_by(trade, [this](std::string_view structure) { return is_test(structure); });
  }

 private:
  bool is_test(std::string_view structure) {
    for (const auto& [text, test] : known_)
      if (text.data() == structure.data() && text.size() == structure.size()) return test;
    const bool test = test_structure(structure);
    if (known_.size() < 32) known_.emplace_back(structure, test);
    return test;
  }

  std::vector<std::pair<std::string_view, bool>> known_;  // compared by address
};

// The statistics of one slice, gathered trade by trade in the slice's order.
class Tally {
 public:
  void add(const Trade& t) {
    const auto pnl = t.realized_pnl();
    if (pnl) total_pnl_ += *pnl;
    const auto r = return_on_risk(t);
    if (!r) return;
    rors_.push_back(*r);
    if (*pnl > 0) ++wins_;
  }

  Attribution result(std::string_view label, std::uint64_t k) const {
    Attribution a;
    a.label = std::string(label);
    a.family_size = k;
    a.total_pnl = total_pnl_;
    a.wins = wins_;
    a.n = rors_.size();
    if (a.n >= 1) {
      double sum = 0;
      for (double r : rors_)
        sum += r;
      a.mean_ror = sum / static_cast<double>(a.n);
    }
    if (a.n >= 2) {
      double squares = 0;
      for (double r : rors_)
        squares += (r - a.mean_ror) * (r - a.mean_ror);
      a.sd_ror = std::sqrt(squares / static_cast<double>(a.n - 1));
    }
    return a;
  }

 private:
  double total_pnl_ = -0.0;
  std::uint64_t wins_ = 0;
  std::vector<double> rors_;
};

// One slice per distinct value of a text field, ascending by bytes; the trades of each slice
// keep their order. The fold keeps each text once, so a trade's slice is found by the address
// of its text first and by the text only when that is new.
class TextSlices {
 public:
  void add(std::string_view value, const Trade& t) {
    if (value.data() != last_ || groups_.empty()) {
      auto [at, fresh] = group_of_address_.try_emplace(value.data(), groups_.size());
      if (fresh) {
        auto [by_text, new_text] = group_of_text_.try_emplace(value, groups_.size());
        if (new_text) groups_.emplace_back(value, Tally{});
        at->second = by_text->second;
      }
      last_ = value.data();
      last_group_ = at->second;
    }
    groups_[last_group_].second.add(t);
  }

  std::vector<Attribution> results() const {
    std::vector<const std::pair<std::string_view, Tally>*> order;
    order.reserve(groups_.size());
    for (const auto& g : groups_)
      order.push_back(&g);
    std::sort(order.begin(), order.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    std::vector<Attribution> slices;
    slices.reserve(groups_.size());
    for (const auto* g : order)
      slices.push_back(g->second.result(g->first, groups_.size()));
    return slices;
  }

 private:
  std::vector<std::pair<std::string_view, Tally>> groups_;
  std::unordered_map<std::string_view, std::size_t> group_of_text_;
  std::unordered_map<const char*, std::size_t> group_of_address_;
  const char* last_ = nullptr;
  std::size_t last_group_ = 0;
};

// Four slices by iv rank at entry.
class RankSlices {
 public:
  void add(const Trade& t) {
    const auto r = t.iv_rank();
    if (!r) return;
    for (std::size_t b = 0; b < kBuckets.size(); ++b)
      if (kBuckets[b].lower <= *r && *r < kBuckets[b].upper) tallies_[b].add(t);
  }

  std::vector<Attribution> results() const {
    std::vector<Attribution> slices;
    for (std::size_t b = 0; b < kBuckets.size(); ++b)
      slices.push_back(tallies_[b].result(kBuckets[b].label, kBuckets.size()));
    return slices;
  }

 private:
  std::array<Tally, kBuckets.size()> tallies_;
};

// Each slicing reads the countable trades once, in order; `add` hands each to those asked for.
template <class Add>
void each_countable(const Trades& trades, Add add) {
  Countable countable;
  for (const Trade& t : trades)
    if (countable(t)) add(t);
}

// (sd × c ÷ mean)² rounded up; the conversion saturates (NaN, from infinite returns, as 0).
std::uint64_t trades_needed(double mean, double sd, double c) {
  const double q = sd * c / mean;
  const double x = std::ceil(q * q);
  if (!(x >= 0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

}  // namespace

double critical_value(std::uint64_t k) {
  if (k <= 1) return kCritical[0];
  if (k <= 10) return kCritical[k - 1];
  return static_cast<double>(k - 10) * 0.03 + 2.81;
}

bool countable(const Trade& trade) {
  return countable_by(trade, test_structure);
}

Attribution score(std::string_view label, std::span<const Trade* const> trades, std::uint64_t k) {
  Tally tally;
  for (const Trade* t : trades)
    tally.add(*t);
  return tally.result(label, k);
}

Attribution overall(const Trades& trades) {
  Tally tally;
  each_countable(trades, [&](const Trade& t) { tally.add(t); });
  return tally.result(kOverallLabel, 1);
}

std::vector<Attribution> by_iv_rank(const Trades& trades) {
  RankSlices slices;
  each_countable(trades, [&](const Trade& t) { slices.add(t); });
  return slices.results();
}

std::vector<Attribution> by_structure(const Trades& trades) {
  TextSlices slices;
  each_countable(trades, [&](const Trade& t) { slices.add(t.structure(), t); });
  return slices.results();
}

std::vector<Attribution> by_proposer(const Trades& trades) {
  TextSlices slices;
  each_countable(trades, [&](const Trade& t) { slices.add(t.by(), t); });
  return slices.results();
}

Attributions attribute(const Trades& trades) {
  Tally all;
  RankSlices ranks;
  TextSlices structures, proposers;
  each_countable(trades, [&](const Trade& t) {
    all.add(t);
    ranks.add(t);
    structures.add(t.structure(), t);
    proposers.add(t.by(), t);
  });
  return {all.result(kOverallLabel, 1), ranks.results(), structures.results(), proposers.results()};
}

std::optional<std::uint64_t> Attribution::n_needed() const {
  if (mean_ror == 0 || !(sd_ror > 0)) return std::nullopt;
  return trades_needed(mean_ror, sd_ror, critical_value(family_size));
}

double Attribution::t_stat() const {
  if (n < 2 || !(sd_ror > 0)) return 0;
  return mean_ror / (sd_ror / std::sqrt(static_cast<double>(n)));
}

std::string Attribution::verdict() const {
  if (n < kVerdictMinTrades)
    return fmt::format(
        "{} trades \u2014 too few to distinguish skill from luck (need {}+ before any verdict)", n,
        kVerdictMinTrades);
  const double t = t_stat();
  const double c = critical_value(family_size);
  const std::string bar =
      family_size > 1 ? fmt::format(" [bar {}, {} slices]", numbers::fixed(c, 2), family_size) : "";
  const auto needed = n_needed();
  const std::string need =
      needed ? fmt::format("; ~{} trades needed at this effect size", *needed) : "";
  const char* finding = std::abs(t) < c ? "NOT distinguishable from luck"
                        : t > 0         ? "positive, and unlikely to be luck alone"
                                        : "negative, and unlikely to be luck alone";
  return fmt::format("t={} \u2014 {}{}{}", numbers::fixed(t, 2, true), finding, bar, need);
}

}  // namespace vavev_aziz
