// The survival layer: its judgement at every edge, the halt's time form, the limits and state
// files, and the presence check.

#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "scratch.hpp"
#include "vavev_aziz/risk.hpp"

namespace vavev_aziz {
namespace {

namespace fs = std::filesystem;

constexpr double kNow = 1765000000;

Exposure exposure(double equity, std::uint64_t open_positions = 0, double open_risk = 0) {
  return Exposure{std::nullopt, equity, open_positions, open_risk};
}

RiskState state(double high_water, double week_start_equity) {
  RiskState s;
  s.high_water = high_water;
  s.week_start_equity = week_start_equity;
  return s;
}

// The answer as one comparable text: "clear", "refuse: ...", "halt drawdown: ...".
std::string verdict(const RiskCheck& c) {
  if (c.clear()) return "clear";
  if (auto r = c.refuse()) return "refuse: " + r->message;
  if (auto h = c.new_halt()) return "halt " + h->halt.kind + ": " + h->halt.reason;
  return "halted: " + c.already_halted()->message;
}

TEST(Survival, HaltsTripAtEquality) {
  struct Case {
    double high_water, week_start, equity;
    Limits limits;
    std::string want;
  };
  Limits no_drawdown;
  no_drawdown.max_drawdown = 0;
  Limits no_weekly_loss;
  no_weekly_loss.weekly_loss_budget = 0;
  const Case cases[] = {
      {100000,
       0,
       90000,
       {},
       "halt drawdown: drawdown 10.0% reached the 10.0% limit (equity 90000.00 vs high-water "
       "100000.00)"},
      {100000, 0, 90000.01, {}, "clear"},
      {104000,
       98000,
       93000,
       {},
       "halt drawdown: drawdown 10.6% reached the 10.0% limit (equity 93000.00 vs high-water "
       "104000.00)"},
      {0,
       100000,
       96000,
       {},
       "halt weekly_loss: week is -4.0%, past the -4.0% loss budget (from 100000.00 to "
       "96000.00)"},
      {0, 100000, 96000.01, {}, "clear"},
      // Fresh state: neither halt can trip with positive limits.
      {0, 0, 0.01, {}, "clear"},
      // Equity above the mark is a drawdown of 0, never negative; a zero limit still halts.
      {100000, 0, 105000, no_drawdown,
       "halt drawdown: drawdown 0.0% reached the 0.0% limit (equity 105000.00 vs high-water "
       "100000.00)"},
      {0, 0, 50000, no_drawdown,
       "halt drawdown: drawdown 0.0% reached the 0.0% limit (equity 50000.00 vs high-water "
       "0.00)"},
      // A zero budget halts a flat week, and a rising week does not.
      {0, 100000, 100000, no_weekly_loss,
       "halt weekly_loss: week is 0.0%, past the -0.0% loss budget (from 100000.00 to "
       "100000.00)"},
      {0, 100000, 100001, no_weekly_loss, "clear"},
      // Drawdown is judged before the week.
      {100000,
       100000,
       80000,
       {},
       "halt drawdown: drawdown 20.0% reached the 10.0% limit (equity 80000.00 vs high-water "
       "100000.00)"},
  };
  for (const auto& c : cases) {
    auto got =
        state(c.high_water, c.week_start).evaluate_open(exposure(c.equity), c.limits, 0, kNow);
    EXPECT_EQ(verdict(got), c.want) << c.high_water << " " << c.week_start << " " << c.equity;
  }
}

TEST(Survival, ANewHaltCarriesTheMomentItTripped) {
  Exposure e = exposure(93000, 3, 500);
  e.iv_rank = 0.42;
  auto got = state(104000, 98000).evaluate_open(e, Limits{}, 100, 1765000123.5);
  ASSERT_TRUE(got.new_halt());
  const Halt& h = got.new_halt()->halt;
  EXPECT_EQ(h.at, 1765000123.5);
  EXPECT_EQ(h.kind, "drawdown");
  EXPECT_EQ(h.equity, 93000);
  EXPECT_EQ(h.high_water, 104000);
  EXPECT_EQ(h.iv_rank, 0.42);
}

TEST(Survival, AHaltInForceIsTheOnlyAnswer) {
  RiskState s;
  s.halt = Halt{1765000000, "weekly_loss", "week is -5.0%", 90000, 100000, std::nullopt};
  const std::string want =
      "halted: HALTED since day 20428 05:46Z (weekly_loss) \u2014 opens are refused until an "
      "operator clears it. Closing positions is still allowed.";
  // Whatever else would answer: no equity, too many positions, a huge order.
  EXPECT_EQ(verdict(s.evaluate_open(exposure(0), Limits{}, 0, kNow)), want);
  EXPECT_EQ(verdict(s.evaluate_open(exposure(100000, 99, 1e9), Limits{}, 1e9, kNow)), want);
}

TEST(Survival, PerOrderLimitsRefuseOnlyPastTheirEdges) {
  struct Case {
    double equity;
    std::uint64_t open_positions;
    double open_risk, order_risk;
    std::string want;
  };
  const Case cases[] = {
      {100000, 12, 0, 0, "refuse: 12 open positions is the limit (12)"},
      {100000, 11, 0, 0, "clear"},
      {0, 12, 0, 0, "refuse: 12 open positions is the limit (12)"},
      {100000, 0, 0, 2000, "clear"},
      {100000, 0, 0, 2000.01,
       "refuse: this order risks 2.00% of equity, over the 2.00% per-position limit"},
      {100000, 0, 8000, 2000, "clear"},
      {100000, 0, 8000.5, 2000,
       "refuse: open risk would reach 10.0% of equity, over the 10.0% portfolio limit"},
      {100000, 0, 50000, 1000,
       "refuse: open risk would reach 51.0% of equity, over the 10.0% portfolio limit"},
      // Without a usable equity no ratio is formed.
      {0, 0, 0, 1e9, "clear"},
      {-5, 0, 0, 1e9, "clear"},
      {NAN, 0, 0, 1e9, "clear"},
      // A risk that is not a number must not slip past both ratios.
      {100000, 0, 0, NAN,
       "refuse: this order risks NaN% of equity, over the 2.00% per-position limit"},
      {100000, 0, 0, INFINITY,
       "refuse: this order risks inf% of equity, over the 2.00% per-position limit"},
  };
  for (const auto& c : cases) {
    auto got = RiskState{}.evaluate_open(exposure(c.equity, c.open_positions, c.open_risk),
                                         Limits{}, c.order_risk, kNow);
    EXPECT_EQ(verdict(got), c.want) << c.equity << " " << c.open_risk << " " << c.order_risk;
  }
}

TEST(Survival, HaltTimeForm) {
  EXPECT_EQ(halt_time(1765000000), "day 20428 05:46Z");
  EXPECT_EQ(halt_time(0), "day 0 00:00Z");
  EXPECT_EQ(halt_time(86399.99), "day 0 23:59Z");
  EXPECT_EQ(halt_time(86400 * 3 + 3600 * 9 + 60 * 7), "day 3 09:07Z");
  EXPECT_EQ(halt_time(-60), "day -1 23:59Z");
  // Values a damaged file could hold print something, never fault.
  EXPECT_EQ(halt_time(NAN), "day 0 00:00Z");
  EXPECT_EQ(halt_time(1e300).rfind("day 106751991167300 15:30Z", 0), 0u);
  EXPECT_EQ(halt_time(-1e300).rfind("day -", 0), 0u);
}

TEST(LimitsFile, BothFormsReadAndDefaultsAreTheDocumentedOnes) {
  const Limits d;
  EXPECT_EQ(d.max_drawdown, 0.10);
  EXPECT_EQ(d.weekly_loss_budget, 0.04);
  EXPECT_EQ(d.max_position_risk, 0.02);
  EXPECT_EQ(d.max_portfolio_risk, 0.10);
  EXPECT_EQ(d.max_open_positions, 12u);

  auto object = read_limits(R"({
    "max_open_positions": 3, "max_portfolio_risk": 1, "max_position_risk": 0.5,
    "weekly_loss_budget": 0.25, "max_drawdown": 0.2, "comment": {"ignored": [1, 2]}
  })");
  ASSERT_TRUE(object.ok()) << object.error();
  EXPECT_EQ(object->max_drawdown, 0.2);
  EXPECT_EQ(object->weekly_loss_budget, 0.25);
  EXPECT_EQ(object->max_position_risk, 0.5);
  EXPECT_EQ(object->max_portfolio_risk, 1.0);
  EXPECT_EQ(object->max_open_positions, 3u);

  auto array = read_limits("[0.2, 0.25, 0.5, 1, 3]");
  ASSERT_TRUE(array.ok()) << array.error();
  EXPECT_EQ(array->weekly_loss_budget, 0.25);
  EXPECT_EQ(array->max_open_positions, 3u);
}

TEST(LimitsFile, OneBadKeyRejectsTheWholeFile) {
  const std::string good_four =
      R"("max_drawdown": 0.5, "weekly_loss_budget": 0.5, "max_position_risk": 0.5, )"
      R"("max_portfolio_risk": 0.5)";
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"{" + good_four + "}", "missing field `max_open_positions` at line 1 column "},
      {"{" + good_four + R"(, "max_open_positions": 12.0})",
       "invalid type: floating point `12.0`, expected u64 at line 1 column "},
      {"{" + good_four + R"(, "max_open_positions": -1})",
       "invalid value: integer `-1`, expected u64 at line 1 column "},
      {"{" + good_four + R"(, "max_open_positions": 1, "max_drawdown": 0.1})",
       "duplicate field `max_drawdown` at line 1 column "},
      {"{" + good_four + R"(, "max_open_positions": 1} x)",
       "trailing characters at line 1 column "},
      {"[0.1, 0.04, 0.02, 0.1]", "invalid length 4, expected struct Limits with 5 elements"},
      {"[0.1, 0.04, 0.02, 0.1, 12, 13]", "invalid length 6, expected 5 elements in sequence"},
      {"12", "invalid type: integer `12`, expected struct Limits at line 1 column "},
  };
  for (const auto& c : cases) {
    auto got = read_limits(c.text);
    ASSERT_FALSE(got.ok()) << c.text;
    EXPECT_EQ(got.error().rfind(c.error, 0), 0u) << c.text << "\n" << got.error();
  }
}

constexpr const char* kHalted = R"json({
  "high_water": 104000.0,
  "halt": {
    "at": 1765000000.0,
    "kind": "drawdown",
    "reason": "drawdown 10.6% reached the 10.0% limit (equity 93000.00 vs high-water 104000.00)",
    "equity": 93000.0,
    "high_water": 104000.0,
    "iv_rank": null
  },
  "week_start_equity": 98000.0,
  "week_epoch": 2918
})json";

// A save merges this run's state into what overlapping runs saved meanwhile.
TEST(RiskFile, ASaveMergesIntoWhatOtherRunsSaved) {
  const Halt mine{kNow, "drawdown", "mine", 90000, 100000, std::nullopt};
  const Halt theirs{kNow - 60, "weekly_loss", "theirs", 95000, 100000, 0.3};
  struct Fields {
    double high_water = 0;
    const Halt* halt = nullptr;
    double week_start = 0;
    std::int64_t week = 0;
    std::optional<double> cleared = std::nullopt;  // the latest halt a person cleared
  };
  const auto state = [](const Fields& f) {
    RiskState s;
    s.high_water = f.high_water;
    if (f.halt) s.halt = *f.halt;
    s.week_start_equity = f.week_start;
    s.week_epoch = f.week;
    s.cleared_halt_at = f.cleared;
    return s;
  };
  const struct {
    const char* what;
    Fields ours, read, on_disk, merged;
  } cases[] = {
      {"a halt on disk stays", {1}, {}, {0, &theirs}, {1, &theirs}},
      {"the first halt stays", {0, &mine}, {}, {0, &theirs}, {0, &theirs}},
      {"a halt raised here is kept", {0, &mine}, {}, {}, {0, &mine}},
      {"a halt only read follows the disk (resume cleared it)", {0, &theirs}, {0, &theirs}, {}, {}},
      // A halt restored from the journal goes when a resume made meanwhile cleared it; one a
      // clearing made before this run's read did not cover stays.
      {"a resume since clears", {0, &mine}, {}, {0, {}, 0, 0, kNow}, {0, {}, 0, 0, kNow}},
      {"a clearing already read does not",
       {0, &mine, 0, 0, kNow},
       {0, {}, 0, 0, kNow},
       {0, {}, 0, 0, kNow},
       {0, &mine, 0, 0, kNow}},
      {"the later clearing wins",
       {0, {}, 0, 0, 5},
       {0, {}, 0, 0, 5},
       {0, {}, 0, 0, 9},
       {0, {}, 0, 0, 9}},
      {"the higher high-water mark wins", {5}, {}, {7}, {7}},
      {"the later week wins", {0, {}, 90, 2920}, {}, {0, {}, 80, 2919}, {0, {}, 90, 2920}},
      {"an earlier week loses", {0, {}, 90, 2918}, {}, {0, {}, 80, 2919}, {0, {}, 80, 2919}},
      {"a week's first start stays", {0, {}, 90, 2919}, {}, {0, {}, 80, 2919}, {0, {}, 80, 2919}},
      {"a week without a start takes this run's",
       {0, {}, 90, 2919},
       {},
       {0, {}, 0, 2919},
       {0, {}, 90, 2919}},
  };
  for (const auto& c : cases) {
    const auto merged = merge_risk_states(state(c.ours), state(c.read), state(c.on_disk));
    EXPECT_EQ(write_risk_state(merged), write_risk_state(state(c.merged))) << c.what;
  }
}

// What a resume cleared is a place in the journal. A run that read the state before a resume
// raises its halt afterwards, stamped at its start, earlier than the halt the resume cleared:
// its save keeps it, and the journal's copy stands for every later run too.
TEST(RiskFile, AHaltWrittenAfterAResumeStandsWhateverItsTimeStamp) {
  const Halt cleared{kNow, "drawdown", "cleared", 85000, 100000, std::nullopt, 100};
  const Halt mine{kNow - 3600, "drawdown", "mine", 85000, 100000, std::nullopt, 600};
  RiskState read;  // loaded before the resume
  RiskState ours = read;
  ours.halt = mine;
  RiskState resumed;  // the file after the resume, which read the journal to byte 500
  resumed.cleared_halt_at = kNow;
  resumed.cleared_journal_length = 500;
  EXPECT_EQ(merge_risk_states(ours, read, resumed).halt->reason, "mine");
  ours.halt->journal_offset.reset();  // its journal line was never written: nobody saw it
  EXPECT_TRUE(merge_risk_states(ours, read, resumed).halt);
  ours.halt = mine;
  resumed.cleared_journal_length = 700;  // a resume that read past its line cleared it
  EXPECT_FALSE(merge_risk_states(ours, read, resumed).halt);

  // Had the save failed, the next run finds it in the journal and is refused.
  resumed.cleared_journal_length = 500;
  JournalHalts journal{mine, cleared, 800};
  RiskState next = resumed;
  ASSERT_TRUE(next.restore(journal));
  EXPECT_TRUE(next.evaluate_open(exposure(95000), Limits{}, 500, kNow).already_halted());
  next = resumed;
  journal.last_written->journal_offset = 400;  // written before the place: cleared
  EXPECT_FALSE(next.restore(journal));
  journal.read_through = 450;  // a journal shorter than the place was replaced: all stand
  EXPECT_TRUE(next.restore(journal));

  // A state cleared before places were recorded is judged by time, as it was.
  RiskState old;
  old.cleared_halt_at = kNow;
  EXPECT_FALSE(old.restore({mine, cleared, 800}));
  Halt stamped_later = mine;
  stamped_later.at = kNow + 1;
  EXPECT_TRUE(old.restore({mine, stamped_later, 800}));

  // A clearing records the place read; it moves back only for a journal now shorter than it.
  next = resumed;
  next.halt = mine;
  ASSERT_TRUE(next.clear({{}, {}, 300}, 800));
  EXPECT_EQ(next.cleared_journal_length, 500u);
  next.halt = mine;
  ASSERT_TRUE(next.clear({{}, {}, 300}, 350));
  EXPECT_EQ(next.cleared_journal_length, 300u);
  EXPECT_FALSE(next.halt);
}

TEST(RiskFile, TheHaltedStateRoundTripsByteForByte) {
  auto s = read_risk_state(kHalted);
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_EQ(s->high_water, 104000);
  EXPECT_EQ(s->week_start_equity, 98000);
  EXPECT_EQ(s->week_epoch, 2918);
  ASSERT_TRUE(s->halt);
  EXPECT_EQ(s->halt->kind, "drawdown");
  EXPECT_FALSE(s->halt->iv_rank);
  EXPECT_EQ(write_risk_state(*s), kHalted);
}

TEST(RiskFile, AFreshStateIsWrittenWithNullsAndWholeFloats) {
  EXPECT_EQ(write_risk_state(RiskState{}),
            "{\n  \"high_water\": 0.0,\n  \"halt\": null,\n  \"week_start_equity\": 0.0,\n"
            "  \"week_epoch\": 0\n}");
  RiskState s;
  s.high_water = 100000.25;
  s.week_epoch = -1;
  s.halt = Halt{1.5, "weekly_loss", "r\u00e9ason \"quoted\"", 0.1, 2, 0.3};
  auto back = read_risk_state(write_risk_state(s));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->high_water, 100000.25);
  EXPECT_EQ(back->week_epoch, -1);
  EXPECT_EQ(back->halt->reason, "r\u00e9ason \"quoted\"");
  EXPECT_EQ(back->halt->iv_rank, 0.3);
}

TEST(RiskFile, MissingKeysDefaultButAHaltMustBeWhole) {
  for (const char* fresh : {"{}", R"({"halt": null, "other": [1]})", " { } \n"}) {
    auto s = read_risk_state(fresh);
    ASSERT_TRUE(s.ok()) << fresh;
    EXPECT_FALSE(s->halt);
    EXPECT_EQ(s->high_water, 0);
    EXPECT_EQ(s->week_epoch, 0);
  }
  auto odd_kind = read_risk_state(
      R"({"halt": {"at": 1, "kind": "manual", "reason": "r", "equity": 1, "high_water": 2}})");
  ASSERT_TRUE(odd_kind.ok()) << odd_kind.error();
  EXPECT_EQ(odd_kind->halt->kind, "manual");
  EXPECT_FALSE(odd_kind->halt->iv_rank);

  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {R"({"halt": {"at": 1, "kind": "drawdown", "equity": 1, "high_water": 2}})",
       "missing field `reason` at line 1 column "},
      {R"({"halt": {}})", "missing field `at` at line 1 column "},
      {R"({"week_epoch": 1.5})", "invalid type: floating point `1.5`, expected i64"},
      {R"({"week_epoch": 9223372036854775808})",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {R"({"halt": "drawdown"})", "invalid type: string \"drawdown\", expected struct Halt"},
  };
  for (const auto& c : cases) {
    auto got = read_risk_state(c.text);
    ASSERT_FALSE(got.ok()) << c.text;
    EXPECT_EQ(got.error().rfind(c.error, 0), 0u) << c.text << "\n" << got.error();
  }
}

// Presence-check programs are scripts in a scratch folder.
class PresenceCheck : public tovra::testing::Scratch {
 protected:
  std::string program(const std::string& name, const std::string& body) {
    return scratch.script(name, body).string();
  }
};

TEST_F(PresenceCheck, OnlyAZeroExitConfirmsPresence) {
  EXPECT_TRUE(arm_via_biometric(program("silent", "exit 0"), "clear the tovra-trade halt"));
  EXPECT_TRUE(arm_via_biometric(program("chatty", "echo yes; echo noise >&2"), "r"));
  EXPECT_FALSE(arm_via_biometric(program("refuses", "exit 1"), "r"));
  EXPECT_FALSE(arm_via_biometric(program("crashes", "kill -KILL $$"), "r"));
  EXPECT_FALSE(arm_via_biometric("tovra-no-such-presence-check", "r"));
  EXPECT_FALSE(arm_via_biometric(program("not-executable", "exit 0") + "/nope", "r"));
}

TEST_F(PresenceCheck, TheReasonTravelsAsOneArgument) {
  const auto strict = program(
      "strict", R"([ "$#" = 3 ] && [ "$1" = arm ] && [ "$2" = --reason ] && [ "$3" = "$WANT" ])");
  const std::string reason = "clear the \"halt\"; $(false) `false` *";
  ::setenv("WANT", reason.c_str(), 1);
  EXPECT_TRUE(arm_via_biometric(strict, reason));
  EXPECT_FALSE(arm_via_biometric(strict, "something else"));
  ::unsetenv("WANT");
}

TEST_F(PresenceCheck, TheBrokerKeysStayOutOfItsEnvironment) {
  env.set("ALPACA_SECRET_KEY", "s");
  env.set("HACKATHON_PAPER_SECRET", "s");
  env.set("WANT", "kept");
  EXPECT_TRUE(arm_via_biometric(
      program("clean", R"([ -z "${ALPACA_SECRET_KEY+x}${HACKATHON_PAPER_SECRET+x}" ] && )"
                       R"([ "$WANT" = kept ])"),
      "r"));
}

}  // namespace
}  // namespace vavev_aziz
