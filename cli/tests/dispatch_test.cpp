// Entry and dispatch: the usage text, --describe, the help words, unknown commands and the
// account selector.
#include "harness.hpp"

namespace trade::testing {
namespace {

class Dispatch : public Scratch {};

std::string usage() {
  return slurp(fs::path(TOVRA_GOLDEN_DIR) / "usage.txt");
}

const char* const kDescription =
    "trade \u2014 gated Alpaca write path: `tovra-trade check` runs an order past the rule table "
    "(no/ask/yes + per-rule TTL, fail-closed); rules in ~/.tovra/config/trade.json\n";

TEST_F(Dispatch, UsageIsPrintedByteForByte) {
  const auto want = usage();
  ASSERT_EQ(std::count(want.begin(), want.end(), '\n'), 80);
  for (const Args& args : {Args{}, Args{"help"}, Args{"-h"}, Args{"--help", "extra"}}) {
    auto r = run_binary(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Dispatch, DescribeWinsWherever) {
  for (const Args& args : {Args{"--describe"}, Args{"ask", "--symbol", "X", "--why", "--describe"},
                           Args{"Nonsense", "--describe"}}) {
    auto r = run(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kDescription);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Dispatch, UnknownCommandsGoToStandardError) {
  auto r = run({"Rules"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tovra trade: unknown command \"Rules\"\n" + usage());
  // A word that is not valid UTF-8 is printed unchanged, never a crash.
  auto bad = run_binary({"\xff\xfe"});
  EXPECT_EQ(bad.code, 3);
  EXPECT_EQ(bad.err.rfind("tovra trade: unknown command \"\xff\xfe\"\n", 0), 0u);
  // Help words count only in first place: here "--help" belongs to check.
  EXPECT_NE(run({"check", "--help"}).out, usage());
}

TEST_F(Dispatch, AccountCommandsNeedASelector) {
  const char* notice =
      "tovra trade: ALPACA_ACCOUNT is not set \u2014 name the book this session means to touch.\n"
      "contest account:  set -a; . ~/.tovra/config/env-profiles/hackathon.env; set +a\n"
      "default book:     ALPACA_ACCOUNT=default tovra trade \u2026\n"
      "(An absent selector no longer falls through to the default book.)\n";
  for (const char* word : {"ask", "check", "memory", "resume", "account", "reconcile", "report",
                           "close", "unplaced", "diary"}) {
    auto r = run({word});
    EXPECT_EQ(r.code, 2) << word;
    EXPECT_EQ(r.err, notice) << word;
    EXPECT_EQ(r.out, "") << word;
  }
  set("ALPACA_ACCOUNT", "");
  EXPECT_EQ(run({"report"}).code, 2);
  set("ALPACA_ACCOUNT", "default");
  EXPECT_NE(run({"report"}).err, notice);
  unset("ALPACA_ACCOUNT");
  EXPECT_NE(run({"rules"}).code, 2);
  EXPECT_NE(run({"contract"}).code, 2);
}

}  // namespace
}  // namespace trade::testing
