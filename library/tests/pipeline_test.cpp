// The proposal road driven end to end with a scripted owner and market over a real journal:
// every refusal's words, journal lines and state effects, the bookkeeping edges, revalidation's
// texts at their limits, exits naming the trade they close, and journal failures that warn.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "scoped_env.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace vavev_aziz {
namespace {

namespace fs = std::filesystem;

struct ScriptedAsker final : Asker {
  Verdict ask(const std::string&, Duration) override {
    ++asked;
    return verdict;
  }
  Verdict verdict{Verdict::Approved{}};
  int asked = 0;
};

struct ScriptedMarket final : MarketView {
  std::vector<alpaca::Position> positions() override { return now_positions; }
  std::optional<double> notional_now(const Order&) override { return notional; }
  std::vector<alpaca::Position> now_positions;
  std::optional<double> notional = 5000;
};

constexpr double kNow = 1765000000;  // a Saturday of week 2918
const std::string kSummary = "BUY equity AAPL $5000.00 (opening)";
const std::string kHalted =
    "HALTED since day 20428 05:46Z (drawdown) \u2014 opens are refused "
    "until an operator clears it. Closing positions is still allowed.";

Order order(Side side = Side::Buy, Intent intent = Intent::Opening) {
  Order o = Order::propose("AAPL", AssetClass::Equity, side, intent, 5000);
  o.client_order_id = "tovra-test-1";
  o.thesis = "breakout";
  return o;
}

// One proposal's world: collaborators and a journal in a fresh folder.
struct Bench {
  Bench() {
    context.exposure.equity = context.equity = 100000;
    context.exposure.equity_source = EquitySource::Broker;
    context.max_loss = 500;
    context.now = kNow;
    context.by = "loop";
  }
  Pipeline pipeline() {
    return {asker, market, gate, memory, risk, limits, journal, Duration::seconds(14400), err};
  }
  Outcome propose(const Order& o) { return pipeline().propose(o, context); }
  void halt() { risk.halt = Halt{kNow, "drawdown", kHalted, 1, 2, std::nullopt}; }

  // The journal's tags and the state a proposal leaves: "halted refused | asked 0 | 1 | HALT".
  std::string effects() const {
    std::string tags;
    for (const auto& e : journal.events())
      tags += (tags.empty() ? "" : " ") + std::string(e.tag());
    return tags + " | asked " + std::to_string(asker.asked) + " | " +
           std::to_string(memory.entries.size()) + (risk.halt ? " | HALT" : "");
  }

  tovra::testing::ScratchFolder scratch;
  ScriptedAsker asker;
  ScriptedMarket market;
  Gate gate{{{"ask-all", {}, Posture::ask(120)}}};
  DenialMemory memory;
  RiskState risk;
  Limits limits;
  Journal journal{scratch.path() / "state" / "journal.jsonl"};
  Context context;
  std::ostringstream err;
};

TEST(Pipeline, EveryRefusalSpeaksItsRowJournalsItAndLeavesItsState) {
  const std::string memo = " was refused and is suppressed for another 60 min";
  struct Case {
    std::function<void(Bench&, Order&)> setup;
    std::string stage, verdict, gate_rule, reason, agent, effects;
  };
  const Case cases[] = {
      {[](Bench& b, Order& o) {  // 59.5 minutes left; a closing order and a halt change nothing
         o = order(Side::Sell, Intent::Closing);
         b.halt();
         b.memory.entries = {{"AAPL|equity|sell|close|b7", kNow + 3570}, {"OLD", kNow - 86401}};
       },
       "memory", "denied_from_memory", "(memory)", "SELL equity AAPL $5000.00 (closing)" + memo,
       "The operator REFUSED this trade earlier and it was not re-asked. SELL equity AAPL "
       "$5000.00 (closing)" +
           memo + ". Do not re-propose the same trade.",
       "refused | asked 0 | 1 | HALT"},
      {[](Bench& b, Order& o) { b.context.exposure.open_positions = 12, o.thesis.clear(); }, "risk",
       "risk_refused", "(risk)", "12 open positions is the limit (12)",
       "The survival layer refused this: 12 open positions is the limit (12). This is a "
       "portfolio limit, not an opinion about the trade. Propose something smaller, or nothing.",
       "refused | asked 0 | 0"},
      {[](Bench& b, Order&) { b.risk.high_water = 120000; }, "halt", "risk_halted", "(halt)",
       "drawdown 16.7% reached the 10.0% limit (equity 100000.00 vs high-water 120000.00)",
       "TRADING IS HALTED: drawdown 16.7% reached the 10.0% limit (equity 100000.00 vs "
       "high-water 120000.00). Opens are refused until a human clears the halt at the machine. "
       "Closing existing positions is still allowed. Do not attempt to work around this and do "
       "not keep proposing.",
       "halted refused | asked 0 | 0 | HALT"},
      {[](Bench& b, Order&) { b.halt(); }, "halt", "risk_halted", "(halt)", kHalted,
       "TRADING IS HALTED: " + kHalted +
           ". Opens are refused until a human clears the halt at the machine. Closing existing "
           "positions is still allowed. Do not attempt to work around this and do not keep "
           "proposing.",
       "refused | asked 0 | 0 | HALT"},
      {[](Bench& b, Order&) {
         b.gate.rules = {{"no-aapl", {}, Posture::deny()}};
       },
       "gate", "denied", "no-aapl", "rule 'no-aapl' denies " + kSummary,
       "The rule table DENIES this: rule 'no-aapl' denies " + kSummary +
           ". Nothing promotes a denial \u2014 it was not put to the operator. Propose something "
           "materially different.",
       "refused | asked 0 | 0"},
      {[](Bench& b, Order&) { b.asker.verdict = {Verdict::Denied{}}; }, "operator", "denied",
       "ask-all", "operator refused: " + kSummary,
       "The operator REFUSED this trade. operator refused: " + kSummary +
           ". Do not re-propose the same trade. Propose something materially different, or "
           "explain why you have nothing to do.",
       "refused | asked 1 | 1"},
      {[](Bench& b, Order&) { b.asker.verdict = {Verdict::Expired{}}; }, "operator", "expired",
       "ask-all", "unanswered after 120s: " + kSummary,
       "The approval request EXPIRED unanswered \u2014 nobody said no, the quote simply went "
       "stale. unanswered after 120s: " +
           kSummary + ". If the setup still holds on a fresh quote you may propose it again.",
       "refused | asked 1 | 0"},
      {[](Bench& b, Order&) { b.asker.verdict = {Verdict::Undeliverable{"send failed"}}; },
       "operator", "undeliverable", "ask-all", "could not ask about " + kSummary + ": send failed",
       "The approval request could not be delivered (send failed), so nobody was asked. This is "
       "an infrastructure fault, not a refusal. Do not treat it as a no, and do not retry in a "
       "loop \u2014 surface it.",
       "refused | asked 1 | 0"},
      {[](Bench&, Order& o) { o.quoted_at = kNow - 400; }, "revalidate", "stale", "ask-all",
       "the quote is 400s old, past the 300s limit",
       "APPROVED BUT NOT FIRED: the quote is 400s old, past the 300s limit. The operator said "
       "yes, but the world moved while they were deciding, so the order that was approved is no "
       "longer the order that would be sent. This is not a refusal \u2014 re-propose against a "
       "fresh quote if the setup still holds.",
       "refused | asked 1 | 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Bench b;
    Order o = order();
    c.setup(b, o);
    const Outcome out = b.propose(o);
    ASSERT_NE(out.refused(), nullptr);
    EXPECT_EQ(out.refused()->stage, c.stage);
    EXPECT_EQ(out.refused()->verdict, c.verdict);
    EXPECT_EQ(out.refused()->reason, c.reason);
    EXPECT_EQ(out.refused()->agent_feedback, c.agent);
    EXPECT_EQ(b.effects(), c.effects);
    EXPECT_EQ(b.err.str(), "");
    const auto events = b.journal.events();
    const RefusedEntry* r = events.back().refused();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::tie(r->id, r->at, r->by, r->verdict, r->gate_rule),
              std::tie(o.client_order_id, kNow, "loop", c.verdict, c.gate_rule));
    EXPECT_EQ(r->thesis, o.thesis.empty() ? c.reason : o.thesis);
    if (c.effects.starts_with("halted")) {
      EXPECT_EQ(b.risk.halt->reason, c.reason);
    }
  }
}

TEST(Pipeline, SubmitsJournalOneOpenEntry) {
  struct Case {
    std::function<void(Bench&, Order&)> setup;
    std::string approved_by, gate_rule;
    bool exit;
    std::string effects;
  };
  const Case cases[] = {
      {[](Bench& b, Order&) {
         b.gate.rules = {{"small", {}, Posture::allow()}};
       },
       "rule", "small", false, "open | asked 0 | 0"},
      {[](Bench&, Order&) {}, "operator", "ask-all", false, "open | asked 1 | 0"},
      {[](Bench& b, Order& o) {  // an exit passes a halt on to the gate
         o = order(Side::Sell, Intent::Closing);
         b.halt();
         b.gate.rules = {{"exits", {Predicate::reduces_risk()}, Posture::allow()}};
         b.context.positions = {alpaca::Position{"AAPL", "", "10", "", ""}};
       },
       "rule", "exits", true, "open | asked 0 | 0 | HALT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gate_rule);
    Bench b;
    b.context.iv_rank = 0.4;
    Order o = order();
    c.setup(b, o);
    o.legs = {Leg{"AAPL", 10, 1, o.side, false, Intent::Closing}};
    const Outcome out = b.propose(o);
    ASSERT_NE(out.submit(), nullptr);
    const Ticket& t = out.submit()->ticket;
    EXPECT_EQ(t.client_order_id, o.client_order_id);
    EXPECT_EQ(t.approval.client_order_id, o.client_order_id);
    EXPECT_EQ(o.legs[0].intent, Intent::Closing);  // the caller's order is left alone
    EXPECT_EQ(b.effects(), c.effects);
    const auto events = b.journal.events();
    const OpenEntry* e = events.back().open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(
        std::tie(e->id, e->at, e->thesis, e->gate_rule, e->approved_by, e->by, e->exit),
        std::tie(o.client_order_id, kNow, o.thesis, c.gate_rule, c.approved_by, "loop", c.exit));
    EXPECT_EQ(std::tie(e->qty, e->max_loss, e->iv_rank, e->iv),
              std::tuple(10, 500, 0.4, std::nullopt));
  }
  Bench b;
  b.asker.verdict = {Verdict::Parked{}};
  const Outcome out = b.propose(order());
  ASSERT_NE(out.parked(), nullptr);
  EXPECT_EQ(out.parked()->rule, "ask-all");
  EXPECT_EQ(out.parked()->question, kSummary + " \u2014 breakout [ask-all]");
  EXPECT_EQ(b.effects(), " | asked 1 | 0");
}

TEST(Pipeline, HighWaterAndWeekStartAreKeptBeforeAnyRefusal) {
  struct Case {
    RiskState before;
    double equity, now;
    RiskState after;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {{90000, {}, 95000, 2918}, 80000, kNow, {90000, {}, 95000, 2918}},  // below: unchanged
      {{90000, {}, 95000, 2918}, 99000, kNow, {99000, {}, 95000, 2918}},  // above: raised
      {{}, 50000, 0, {50000, {}, 50000, 0}},  // fresh: week 0 matches, start set
      {{0, {}, 40000, 0}, 50000, 345599.9, {50000, {}, 40000, 0}},      // Sunday 23:59:59.9
      {{0, {}, 40000, 0}, 50000, 345600, {50000, {}, 50000, 1}},        // Monday 00:00 UTC
      {{0, {}, 40000, 0}, 50000, -5 * 86400.0, {50000, {}, 40000, 0}},  // truncates toward 0
      {{0, {}, nan, 2918}, 50000, kNow, {50000, {}, 50000, 2918}},      // not a number: reset
      // A later week stored by a run whose clock was ahead is kept, start and all.
      {{0, {}, 100000, 2919}, 80000, kNow, {80000, {}, 100000, 2919}},
      {{0, {}, 0, 2919}, 80000, kNow, {80000, {}, 80000, 2919}},  // only a missing start is set
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now);
    Bench b;
    b.gate.rules = {{"nothing", {}, Posture::deny()}};
    b.risk = c.before;
    b.context.equity = b.context.exposure.equity = c.equity;
    b.context.now = c.now;
    ASSERT_NE(b.propose(order()).refused(), nullptr);
    EXPECT_EQ(std::tie(b.risk.high_water, b.risk.week_start_equity, b.risk.week_epoch),
              std::tie(c.after.high_water, c.after.week_start_equity, c.after.week_epoch));
  }

  // A stated equity is judged as a measured one would be (the new week starts from it, so no
  // loss is counted from last week's start) but moves nothing the state keeps.
  Bench b;
  b.gate.rules = {{"nothing", {}, Posture::deny()}};
  b.risk = {90000, {}, 100000, 2917};
  b.context.equity = b.context.exposure.equity = 95000;
  b.context.exposure.equity_source = EquitySource::Stated;
  const auto out = b.propose(order());
  ASSERT_NE(out.refused(), nullptr);
  EXPECT_EQ(out.refused()->stage, "gate");
  EXPECT_EQ(std::tie(b.risk.high_water, b.risk.week_start_equity, b.risk.week_epoch),
            std::make_tuple(90000.0, 100000.0, std::int64_t{2917}));
}

TEST(Pipeline, OwnersNoSuppressesUntilTheWindowEnds) {
  Bench b;
  b.asker.verdict = {Verdict::Denied{}};
  ASSERT_EQ(b.propose(order()).refused()->stage, "operator");
  EXPECT_EQ(b.memory.entries.at("AAPL|equity|buy|open|b7"), kNow + 14400);

  b.context.now = kNow + 60;
  EXPECT_EQ(b.propose(order()).refused()->reason,
            kSummary + " was refused and is suppressed for another 239 min");
  b.context.now = kNow + 14400;  // the expiry itself no longer suppresses
  b.asker.verdict = {Verdict::Expired{}};
  EXPECT_EQ(b.propose(order()).refused()->verdict, "expired");
  EXPECT_EQ(b.effects(), "refused refused refused | asked 2 | 1");  // kept a day past expiry
}

TEST(Pipeline, RevalidationTextsAndTheirEdges) {
  const std::string moved =
      " now \u2014 the position book moved during the ask, so this is no longer the order that "
      "was approved";
  const alpaca::Position aapl{"AAPL", "", "100", "", ""};
  const alpaca::Position spy{"SPY", "", "100", "", ""};
  struct Case {
    std::function<void(Bench&, Order&)> setup;
    std::string approved_rule, failure;  // empty failure: passes
  };
  const Case cases[] = {
      {[](Bench&, Order& o) { o.quoted_at = kNow - 300; }, "ask-all", ""},
      {[](Bench&, Order& o) { o.quoted_at = kNow - 300.6; }, "ask-all",
       "the quote is 301s old, past the 300s limit"},
      {[](Bench& b, Order& o) { o.quoted_at = 1, b.context.max_quote_age = 0; }, "ask-all", ""},
      {[](Bench& b, Order&) { b.market.notional = 5250; }, "ask-all", ""},
      {[](Bench& b, Order&) { b.market.notional = 4500; }, "ask-all",
       "the notional moved 10.0% during the ask (5000.00 -> 4500.00), past the 5.0% limit"},
      {[](Bench& b, Order&) { b.market.notional.reset(); }, "ask-all", ""},
      {[&](Bench& b, Order& o) {
         o.legs = {Leg{"AAPL", 10, 1, Side::Sell, false, Intent::Opening}};
         b.market.now_positions = {aapl};
       },
       "ask-all", "leg AAPL was opening when the question was sent and is reducing" + moved},
      {[&](Bench& b, Order& o) {  // stock now covers the sold call: no longer naked
         o = Order::propose("SPY", AssetClass::Option, Side::Sell, Intent::Opening, 5000);
         o.legs = {Leg{"SPY250117C00500000", 1, 1, Side::Sell, false, Intent::Opening}};
         b.gate.rules = {{"naked", {Predicate::naked_short()}, Posture::ask(60)},
                         {"rest-denied", {}, Posture::deny()}};
         b.market.now_positions = {spy};
       },
       "naked",
       "the position book changed while the ask was pending \u2014 this order now falls under "
       "'rest-denied' rather than the 'naked' it was approved under"},
      {[](Bench& b, Order&) {
         b.gate.rules = {{"no", {}, Posture::deny()}};
       },
       "no", "the order would now be DENIED by the rule table"},
      {[](Bench& b, Order&) {
         b.gate.rules = {{"fine", {}, Posture::allow()}};
       },
       "fine", ""},
  };
  for (const auto& c : cases) {
    Bench b;
    Order o = order();
    c.setup(b, o);
    const auto result = b.pipeline().revalidate(o, b.context, c.approved_rule);
    EXPECT_EQ(result ? std::string() : result.error(), c.failure);
  }
}

TEST(Pipeline, AnExitNamesTheOneOpenTradeOfItsSymbol) {
  const std::pair<std::vector<std::string>, std::optional<std::string>> cases[] = {
      {{"MSFT", "AAPL"}, "t1"},
      {{"AAPL", "AAPL"}, std::nullopt},
      {{"aapl"}, std::nullopt},  // byte for byte
  };
  for (const auto& [symbols, closes] : cases) {
    Bench b;
    b.gate.rules = {{"exits", {Predicate::reduces_risk()}, Posture::allow()}};
    OpenEntry trade;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
      trade.id = "t" + std::to_string(i);
      trade.symbol = symbols[i];
      ASSERT_TRUE(b.journal.append({trade}));
    }
    ASSERT_NE(b.propose(order(Side::Sell, Intent::Closing)).submit(), nullptr);
    EXPECT_EQ(b.journal.events().back().open()->closes, closes);
  }
}

TEST(Pipeline, AFailedJournalWriteWarnsAndKeepsTheOutcome) {
  const std::pair<Posture, std::vector<std::string>> cases[] = {
      {Posture::deny(), {"refusal"}},
      {Posture::allow(), {"OPEN \u2014 this position is now untracked"}},
      {Posture::ask(1), {"halt", "refusal"}},  // with a drawdown that halts
  };
  for (const auto& [posture, labels] : cases) {
    Bench b;
    fs::create_directories(b.journal.path());  // a folder where the file should be
    b.gate.rules = {{"r", {}, posture}};
    if (labels[0] == "halt") b.risk.high_water = 200000;
    const Outcome out = b.propose(order());
    EXPECT_EQ(out.submit() != nullptr, posture.kind == Posture::Kind::Allow);
    std::istringstream lines(b.err.str());
    std::string line;
    for (const auto& label : labels) {
      ASSERT_TRUE(std::getline(lines, line));
      EXPECT_TRUE(line.starts_with("tovra trade: WARNING: journal write FAILED (" + label + "): "))
          << line;
    }
    EXPECT_FALSE(std::getline(lines, line));
  }
}

}  // namespace
}  // namespace vavev_aziz
