// Attribution: which trades count, how a slice is scored, how slices are cut, and the verdict
// texts with their critical values.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "vavev_aziz/journal.hpp"

namespace vavev_aziz {
namespace {

// One order as the fold sees it: its open entry's fields, then a fill and a close if asked.
struct Order {
  std::optional<double> max_loss;
  std::optional<double> pnl;  // the close's result; no close when absent
  std::string structure = "iron_condor";
  std::string by = "loop";
  std::optional<double> iv_rank;
  bool exit = false;
  std::optional<std::pair<double, double>> fill;  // filled, intended
};

// A closed trade with the given risk and result; no fill unless asked.
Order closed(double max_loss, double pnl, std::string structure = "iron_condor",
             std::string by = "loop") {
  Order o;
  o.max_loss = max_loss;
  o.pnl = pnl;
  o.structure = std::move(structure);
  o.by = std::move(by);
  return o;
}

// The fold of the orders, each under an id of its own.
Trades fold(const std::vector<Order>& orders) {
  Trades trades;
  for (std::size_t i = 0; i < orders.size(); ++i) {
    const Order& o = orders[i];
    OpenEntry open;
    open.id = std::string("t").append(std::to_string(i));
    open.structure = o.structure;
    open.by = o.by;
    open.max_loss = o.max_loss;
    open.iv_rank = o.iv_rank;
    open.exit = o.exit;
    trades.add({open});
    if (o.fill)
      trades.add({FillEntry{open.id, 1, "filled", o.fill->first, o.fill->second, {}, {}, ""}});
    if (o.pnl) trades.add({CloseEntry{open.id, 2, *o.pnl, "done", std::nullopt, ""}});
  }
  return trades;
}

std::vector<const Trade*> refs(const Trades& trades) {
  std::vector<const Trade*> out;
  for (const auto& t : trades)
    out.push_back(&t);
  return out;
}

Attribution slice(std::uint64_t n, double mean, double sd, std::uint64_t k) {
  return Attribution{"slice", n, 0, mean, sd, 0, k};
}

TEST(Attribution, WhichTradesCount) {
  struct Case {
    std::string structure;
    bool counts;
  };
  const Case structures[] = {
      {"test", false},     {"smoke", false},  {"put_test", false},   {"smoke_iron_condor", false},
      {"a_test_b", false}, {"Test", true},    {"testing", true},     {"smoke-test", true},
      {"", true},          {"_test_", false}, {"iron_condor", true},
  };
  for (const auto& c : structures)
    EXPECT_EQ(countable(fold({closed(100, 1, c.structure)})[0]), c.counts) << c.structure;

  Order open = closed(100, 1);
  open.pnl.reset();
  Order exit = closed(100, 1);
  exit.exit = true;
  Order unfilled = closed(100, 1);
  unfilled.fill = {{0, 3}};
  Order part_filled = closed(100, 1);
  part_filled.fill = {{1, 3}};
  const Trades t = fold({open, exit, unfilled, part_filled});
  EXPECT_FALSE(countable(t[0]));
  EXPECT_FALSE(countable(t[1]));
  EXPECT_FALSE(countable(t[2]));
  EXPECT_TRUE(countable(t[3]));
}

TEST(Attribution, ScoreOfASlice) {
  std::vector<Order> orders = {closed(100, 50), closed(200, -20), closed(100, 0)};
  Order no_risk = closed(100, 7);
  no_risk.max_loss.reset();  // adds to the total only
  orders.push_back(no_risk);
  Order zero_fill = closed(100, 9);
  zero_fill.fill = {{1, 0}};  // intended 0: no risk, so no return on risk
  orders.push_back(zero_fill);
  Order partial = closed(100, 30);
  partial.fill = {{1, 2}};  // half filled: 30 on 50 of risk
  orders.push_back(partial);

  const auto a = score("label", refs(fold(orders)), 3);
  EXPECT_EQ(a.label, "label");
  EXPECT_EQ(a.family_size, 3u);
  EXPECT_EQ(a.n, 4u);
  EXPECT_EQ(a.wins, 2u);  // a result of exactly 0 is no win
  EXPECT_DOUBLE_EQ(a.mean_ror, (0.5 - 0.1 + 0 + 0.6) / 4);
  const double m = a.mean_ror;
  EXPECT_DOUBLE_EQ(a.sd_ror, std::sqrt((std::pow(0.5 - m, 2) + std::pow(-0.1 - m, 2) +
                                        std::pow(0 - m, 2) + std::pow(0.6 - m, 2)) /
                                       3));
  EXPECT_DOUBLE_EQ(a.total_pnl, 50 - 20 + 0 + 7 + 9 + 30);

  const auto one = score("one", refs(fold({closed(100, 10)})), 1);
  EXPECT_EQ(one.n, 1u);
  EXPECT_EQ(one.sd_ror, 0);
  EXPECT_FALSE(one.n_needed());
  EXPECT_EQ(one.verdict(),
            "1 trades \u2014 too few to distinguish skill from luck (need 30+ before any verdict)");
}

TEST(Attribution, NothingClosed) {
  Order unclosed = closed(100, 5);
  unclosed.pnl.reset();
  for (const auto& orders : {std::vector<Order>{}, {unclosed}}) {
    const Trades all = fold(orders);
    const auto a = overall(all);
    EXPECT_EQ(a.label, "ALL closed trades");
    EXPECT_EQ(a.n, 0u);
    EXPECT_EQ(a.wins, 0u);
    EXPECT_EQ(a.mean_ror, 0);
    EXPECT_EQ(a.sd_ror, 0);
    EXPECT_EQ(a.total_pnl, 0);
    EXPECT_TRUE(std::signbit(a.total_pnl));
    EXPECT_EQ(a.family_size, 1u);
    const auto buckets = by_iv_rank(all);
    ASSERT_EQ(buckets.size(), 4u);
    for (const auto& b : buckets) {
      EXPECT_EQ(b.n, 0u);
      EXPECT_EQ(b.family_size, 4u);
    }
    EXPECT_TRUE(by_structure(all).empty());
    EXPECT_TRUE(by_proposer(all).empty());
  }
}

TEST(Attribution, IvRankBuckets) {
  std::vector<Order> orders;
  for (std::optional<double> r : {std::optional<double>(0.0),
                                  {0.2499},
                                  {0.25},
                                  {0.5},
                                  {0.75},
                                  {1.0},
                                  {1.01},
                                  {-0.01},
                                  {std::nullopt}}) {
    orders.push_back(closed(100, 10));
    orders.back().iv_rank = r;
  }
  const Trades trades = fold(orders);
  const auto b = by_iv_rank(trades);
  ASSERT_EQ(b.size(), 4u);
  EXPECT_EQ(b[0].label, "iv_rank 0-25% (cheap)");
  EXPECT_EQ(b[1].label, "iv_rank 25-50%");
  EXPECT_EQ(b[2].label, "iv_rank 50-75%");
  EXPECT_EQ(b[3].label, "iv_rank 75-100% (rich)");
  EXPECT_EQ(b[0].n, 2u);
  EXPECT_EQ(b[1].n, 1u);
  EXPECT_EQ(b[2].n, 1u);
  EXPECT_EQ(b[3].n, 2u);  // 0.75 and exactly 1.0; 1.01 lands nowhere
  EXPECT_EQ(overall(trades).n, trades.size());
}

TEST(Attribution, StructureAndProposerSlices) {
  std::vector<Order> orders = {
      closed(100, 10, "iron_condor", "loop"), closed(100, 10, "Iron_Condor", "cli"),
      closed(100, 10, "iron_condor", "loop"), closed(100, 10, "put_test", "zzz"),  // not countable
      closed(100, 10, "strangle", "cli")};
  orders[4].max_loss.reset();  // a row with no return on risk still counts
  const Trades trades = fold(orders);
  const auto s = by_structure(trades);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].label, "Iron_Condor");
  EXPECT_EQ(s[1].label, "iron_condor");
  EXPECT_EQ(s[1].n, 2u);
  EXPECT_EQ(s[2].label, "strangle");
  EXPECT_EQ(s[2].n, 0u);
  EXPECT_EQ(s[2].total_pnl, 10);
  for (const auto& a : s)
    EXPECT_EQ(a.family_size, 3u);
  const auto p = by_proposer(trades);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].label, "cli");
  EXPECT_EQ(p[1].label, "loop");
  EXPECT_EQ(p[0].family_size, 2u);

  // One reading for all four slicings gives what each gives alone.
  const auto fields = [](const std::vector<Attribution>& slices) {
    using U = std::uint64_t;
    std::vector<std::tuple<std::string, U, U, double, double, bool, double, U>> out;
    for (const Attribution& a : slices)
      out.emplace_back(a.label, a.n, a.wins, a.mean_ror, a.sd_ror, std::signbit(a.total_pnl),
                       a.total_pnl, a.family_size);
    return out;
  };
  const Attributions all = attribute(trades);
  EXPECT_EQ(fields({all.overall}), fields({overall(trades)}));
  EXPECT_EQ(fields(all.by_iv_rank), fields(by_iv_rank(trades)));
  EXPECT_EQ(fields(all.by_structure), fields(s));
  EXPECT_EQ(fields(all.by_proposer), fields(p));
}

TEST(Attribution, CriticalValues) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {2, "2.24"},  {3, "2.39"},  {4, "2.50"},  {9, "2.77"},
      {10, "2.81"}, {11, "2.84"}, {13, "2.90"}, {20, "3.11"},
  };
  for (const auto& [k, bar] : cases)
    EXPECT_EQ(slice(30, 0, 1, k).verdict(), "t=+0.00 \u2014 NOT distinguishable from luck [bar " +
                                                bar + ", " + std::to_string(k) + " slices]");
  EXPECT_EQ(critical_value(0), 1.96);
  EXPECT_EQ(critical_value(1), 1.96);
  EXPECT_EQ(slice(30, 0, 1, 0).verdict(), "t=+0.00 \u2014 NOT distinguishable from luck");
  EXPECT_DOUBLE_EQ(critical_value(13), 2.9);
}

TEST(Attribution, Verdicts) {
  const struct {
    Attribution a;
    std::string verdict;
    std::optional<std::uint64_t> needed;
  } cases[] = {
      {slice(12, 0.3, 0.1, 1),
       "12 trades \u2014 too few to distinguish skill from luck (need 30+ before any verdict)", 1},
      {slice(36, 0.05, 0.25, 4),
       "t=+1.20 \u2014 NOT distinguishable from luck [bar 2.50, 4 slices]; ~157 trades needed at "
       "this effect size",
       157},
      {slice(36, 0.1, 0.2, 1),
       "t=+3.00 \u2014 positive, and unlikely to be luck alone; ~16 trades needed at this effect "
       "size",
       16},
      {slice(36, -0.1, 0.2, 2),
       "t=-3.00 \u2014 negative, and unlikely to be luck alone [bar 2.24, 2 slices]; ~21 trades "
       "needed at this effect size",
       21},
      // t exactly at the bar counts as distinguishable.
      {slice(49, 1.96, 7, 1),
       "t=+1.96 \u2014 positive, and unlikely to be luck alone; ~49 trades needed at this effect "
       "size",
       49},
      {slice(30, 0.5, 0, 1), "t=+0.00 \u2014 NOT distinguishable from luck", std::nullopt},
      {slice(30, 0, 0.3, 3), "t=+0.00 \u2014 NOT distinguishable from luck [bar 2.39, 3 slices]",
       std::nullopt},
      {slice(30, 1e-300, 1, 1),
       "t=+0.00 \u2014 NOT distinguishable from luck; ~18446744073709551615 trades needed at this "
       "effect size",
       std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a.verdict(), c.verdict);
    EXPECT_EQ(c.a.n_needed(), c.needed) << c.verdict;
  }
}

TEST(Attribution, ThirtyEqualReturnsHaveNoSpread) {
  const auto a = overall(fold(std::vector<Order>(30, closed(100, 50))));
  EXPECT_EQ(a.n, 30u);
  EXPECT_EQ(a.mean_ror, 0.5);
  EXPECT_EQ(a.sd_ror, 0);
  EXPECT_EQ(a.verdict(), "t=+0.00 \u2014 NOT distinguishable from luck");
}

TEST(Attribution, ElevenStructuresRaiseTheBar) {
  std::vector<Order> orders;
  for (int s = 0; s < 11; ++s)
    for (int i = 0; i < 30; ++i)
      orders.push_back(closed(100, i % 2 ? 10 : -4, std::string("s").append(std::to_string(s))));
  const auto slices = by_structure(fold(orders));
  ASSERT_EQ(slices.size(), 11u);
  for (const auto& a : slices) {
    EXPECT_EQ(a.family_size, 11u);
    EXPECT_NE(a.verdict().find(" [bar 2.84, 11 slices]"), std::string::npos) << a.verdict();
  }
}

}  // namespace
}  // namespace vavev_aziz
