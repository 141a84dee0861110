// The journal after the proposal road: broker statuses reconciled into fills (the word
// mapping and which orders are settled), the awaiting lists, and the close and unplaced
// records.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "scoped_env.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace vavev_aziz {
namespace {

namespace fs = std::filesystem;

// A journal in a fresh folder holding: "new" (no fill), "filled", "partial" and "rejected"
// (each with that fill) and "closed" (a close but no fill).
struct Book {
  Book() {
    for (const char* id : {"new", "filled", "partial", "rejected", "closed"}) {
      OpenEntry o;
      o.id = id;
      o.at = 1000;
      o.symbol = "AAPL";
      EXPECT_TRUE(journal.append({o}));
    }
    for (const char* status : {"filled", "partial", "rejected"})
      EXPECT_TRUE(journal.append({FillEntry{status, 1100, status, 1, 5, {}, {}, ""}}));
    EXPECT_TRUE(record_close(journal, CloseEntry{"closed", 1200, 50, "profit", {}, ""}));
  }
  std::vector<FillEntry> fills() const {
    std::vector<FillEntry> out;
    for (const auto& e : journal.events())
      if (const FillEntry* f = e.fill()) out.push_back(*f);
    return out;
  }

  tovra::testing::ScratchFolder scratch;
  fs::path root = scratch.path();
  Journal journal{root / "journal.jsonl"};
};

TEST(Reconcile, MapsTheBrokersWordAndSkipsSettledOrders) {
  struct Case {
    std::string id, word;
    double filled, qty;
    std::string journalled;  // empty: nothing written, id not returned
    std::string note;
  };
  const std::string smaller = " \u2014 the position is smaller than the thesis described";
  const Case cases[] = {
      {"new", "filled", 5, 5, "filled", ""},
      {"new", "expired", 0, 5, "expired", ""},
      {"new", "rejected", 0, 5, "rejected", ""},
      {"new", "canceled", 0, 5, "canceled", ""},
      {"new", "cancelled", 0, 5, "canceled", ""},
      {"new", "partially_filled", 3, 5, "partial", "PARTIAL: 3 of 5" + smaller},
      {"new", "partially_filled", 2.5, 10, "partial", "PARTIAL: 2.5 of 10" + smaller},
      // Nothing filled yet, or a quantity that does not read: the broker is still working it.
      {"new", "partially_filled", 0, 5, "", ""},
      {"new", "partially_filled", -1, 5, "", ""},
      {"new", "partially_filled", std::nan(""), 5, "", ""},
      {"partial", "partially_filled", 0, 5, "", ""},
      {"new", "accepted", 0, 5, "", ""},
      {"new", "Filled", 5, 5, "", ""},
      {"new", "unknown", 0, 5, "", ""},
      {"filled", "filled", 5, 5, "", ""},
      {"rejected", "canceled", 0, 5, "", ""},
      {"partial", "filled", 5, 5, "filled", ""},
      {"partial", "partially_filled", 4, 5, "partial", "PARTIAL: 4 of 5" + smaller},
      {"never-journalled", "expired", 0, 1, "expired", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + " " + c.word);
    Book b;
    const std::size_t before = b.fills().size();
    const BrokerStatus status{1.25, std::nullopt, c.id, c.word, c.filled, c.qty};
    const auto recorded = reconcile(b.journal, std::vector{status}, 2000).recorded;
    const auto fills = b.fills();
    if (c.journalled.empty()) {
      EXPECT_TRUE(recorded.empty());
      EXPECT_EQ(fills.size(), before);
      if (c.id == "new") {
        // Still awaiting the broker, and holding its slot and risk budget.
        EXPECT_EQ(awaiting_reconciliation(b.journal).front(), "new");
        EXPECT_EQ(b.journal.open_trades()[0].id(), "new");
      }
      continue;
    }
    EXPECT_EQ(recorded, std::vector<std::string>{c.id});
    ASSERT_EQ(fills.size(), before + 1);
    const FillEntry& f = fills.back();
    EXPECT_EQ(std::tie(f.id, f.at, f.status, f.filled_qty, f.intended_qty, f.note),
              std::tuple(c.id, 2000.0, c.journalled, c.filled, c.qty, c.note));
    EXPECT_EQ(std::tie(f.avg_price, f.actual_credit), std::tuple(1.25, std::nullopt));
  }
}

TEST(Reconcile, ReturnsWhatItRecordedInTheStatusesOrder) {
  Book b;
  const std::vector<BrokerStatus> statuses = {
      {{}, {}, "closed", "canceled", 0, 5},
      {{}, {}, "filled", "filled", 5, 5},
      {{}, {}, "new", "filled", 5, 5},
  };
  EXPECT_EQ(reconcile(b.journal, statuses, 2000).recorded,
            (std::vector<std::string>{"closed", "new"}));
  EXPECT_TRUE(reconcile(b.journal, std::vector<BrokerStatus>{}, 2000).recorded.empty());

  // A journal that cannot be written: nothing is reported as recorded, every fill it was told
  // is reported unwritten, and nothing is thrown.
  Book broken;
  const Journal folder(broken.root);
  const auto lost = reconcile(folder, statuses, 2000);
  EXPECT_TRUE(lost.recorded.empty());
  ASSERT_EQ(lost.unwritten.size(), 3u);
  EXPECT_EQ(lost.unwritten[2].first, "new");
  EXPECT_FALSE(record_unplaced(folder, "new", "x", 1));
  EXPECT_FALSE(record_close(folder, CloseEntry{"new", 1, 1, "profit", {}, ""}));
}

TEST(Reconcile, AwaitingListsAndTheUnplacedRecord) {
  Book b;
  EXPECT_EQ(awaiting_reconciliation(b.journal), (std::vector<std::string>{"new", "closed"}));
  const auto aged = awaiting_with_age(b.journal, 1500);
  EXPECT_EQ(aged, (std::vector<std::pair<std::string, double>>{{"new", 500}, {"closed", 500}}));
  EXPECT_EQ(awaiting_with_age(b.journal, 900)[0].second, 0);  // opened after now

  ASSERT_TRUE(record_unplaced(b.journal, "new", "422 insufficient buying power", 3));
  EXPECT_EQ(awaiting_reconciliation(b.journal), std::vector<std::string>{"closed"});
  const FillEntry f = b.fills().back();
  EXPECT_GT(f.at, 1700000000);  // the wall clock
  EXPECT_EQ(std::tie(f.id, f.status, f.filled_qty, f.intended_qty, f.avg_price, f.note),
            std::tuple("new", "rejected", 0.0, 3.0, std::nullopt,
                       "REFUSED AT THE WIRE, never created: 422 insufficient buying power"));
  const auto trades = b.journal.trades();
  EXPECT_EQ(trades[trades.size() - 1].realized_pnl(), 50);
}

}  // namespace
}  // namespace vavev_aziz
