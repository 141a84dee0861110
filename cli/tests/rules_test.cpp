// The rules command: the listing and JSON forms compared whole, `--init` that never
// overwrites, and every failure with its message and exit code.
#include "harness.hpp"

namespace trade::testing {
namespace {

class Rules : public Scratch {
 protected:
  Ran rules(const Args& args) {
    Args line{"rules"};
    line.insert(line.end(), args.begin(), args.end());
    return run(line);
  }
  static std::string starter_json() {
    return slurp(fs::path(TOVRA_GOLDEN_DIR) / ".." / ".." / ".." / "library" / "tests" / "golden" /
                 "starter_rules.json");
  }
};

const char* const kFallThrough =
    "\n  (fall-through) ASK  \u2014 an order no rule considered is asked about, never allowed\n";

TEST_F(Rules, InitWritesTheStarterTableThatIsThenListed) {
  const auto path = config().string();
  auto init = rules({"--init", "--json"});
  EXPECT_EQ(init.code, 0);
  EXPECT_EQ(init.out, "wrote starter rule table \u2192 " + path + "\n");
  EXPECT_EQ(init.err, "");
  ASSERT_FALSE(starter_json().empty());
  EXPECT_EQ(slurp(config()), starter_json());

  auto listed = run_binary({"rules"});
  EXPECT_EQ(listed.code, 0);
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out, path +
                            " \u2014 5 rules, first match wins\n"
                            "\n"
                            "   1. ALLOW      exits-are-free\n"
                            "        when ReducesRisk\n"
                            "   2. DENY       naked-short-options-never\n"
                            "        when NakedShort\n"
                            "   3. ASK  (600s) big-ticket-always-asks\n"
                            "        when FractionOfEquityOver(0.1)\n"
                            "   4. ASK  (300s) options-ask-briefly\n"
                            "        when AssetClassIs(Option)\n"
                            "   5. ALLOW      small-equity-opens\n"
                            "        when AssetClassIs(Equity)\n"
                            "        when NotionalUnder(2000.0)\n" +
                            kFallThrough);

  auto json = rules({"--json"});
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out, starter_json());
}

TEST_F(Rules, InitNeverOverwrites) {
  write_text(config(), "my own table");
  auto r = rules({"--init"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, config().string() + " already exists \u2014 not overwritten\n");
  EXPECT_EQ(slurp(config()), "my own table");

  // A folder, or a link to one, is "something there" too; so is a link to nothing, which is
  // not written through.
  set("TOVRA_TRADE_CONFIG", home().string());
  EXPECT_EQ(rules({"--init"}).out, home().string() + " already exists \u2014 not overwritten\n");
  fs::create_symlink(home() / "elsewhere.json", home() / "link.json");
  set("TOVRA_TRADE_CONFIG", (home() / "link.json").string());
  EXPECT_EQ(rules({"--init"}).out,
            (home() / "link.json").string() + " already exists \u2014 not overwritten\n");
  EXPECT_FALSE(fs::exists(home() / "elsewhere.json"));
}

TEST_F(Rules, InitReportsWhatItCouldNotCreate) {
  write_text(home() / "file", "x");
  set("TOVRA_TRADE_CONFIG", (home() / "file" / "config" / "trade.json").string());
  auto folder = rules({"--init"});
  EXPECT_EQ(folder.code, 3);
  EXPECT_EQ(folder.out, "");
  EXPECT_EQ(folder.err.rfind("tovra trade: " + (home() / "file" / "config").string() + ": ", 0), 0u)
      << folder.err;

  set("TOVRA_TRADE_CONFIG", "");
  auto empty = rules({"--init"});
  EXPECT_EQ(empty.code, 3);
  EXPECT_EQ(empty.err, "tovra trade: : No such file or directory\n");
}

TEST_F(Rules, ListingFormsEveryPostureAndCondition) {
  write_text(config(), R"([
    {"name": "quick", "when": [{"symbol_in": ["SPY", "Q\"Q"]}, {"paper_account": true}],
     "posture": "ask", "ttl_secs": 5},
    {"name": "everything else", "posture": "deny"},
    {"name": "never", "when": [{"side_is": "sell"}, {"intent_is": "closing"},
     {"notional_over": 2.5}, "multi_leg", {"symbol_not_in": []}], "posture": "allow"}
  ])");
  auto r = rules({"--verbose"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, config().string() +
                       " \u2014 3 rules, first match wins\n"
                       "\n"
                       "   1. ASK  (5s)  quick\n"
                       "        when SymbolIn([\"SPY\", \"Q\\\"Q\"])\n"
                       "        when PaperAccount(true)\n"
                       "   2. DENY       everything else\n"
                       "   3. ALLOW      never\n"
                       "        when SideIs(Sell)\n"
                       "        when IntentIs(Closing)\n"
                       "        when NotionalOver(2.5)\n"
                       "        when MultiLeg\n"
                       "        when SymbolNotIn([])\n" +
                       kFallThrough);

  std::string ten = "[";
  for (int i = 1; i <= 10; ++i) {
    if (i > 1) ten += ',';
    ten += R"({"name": "r", "posture": "deny"})";
  }
  write_text(config(), ten + "]");
  EXPECT_NE(rules({}).out.find("\n   9. DENY       r\n  10. DENY       r\n"), std::string::npos);
}

TEST_F(Rules, AnEmptyTableListsOnlyTheFallThrough) {
  write_text(config(), "[]");
  auto r = rules({});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, config().string() + " \u2014 0 rules, first match wins\n\n" + kFallThrough);
  EXPECT_EQ(rules({"--json"}).out, "[]\n");
}

TEST_F(Rules, FailuresExitThree) {
  const auto path = config().string();
  auto missing = rules({"--json"});
  EXPECT_EQ(missing.code, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "tovra trade: no rule table at " + path +
                             " \u2014 run `tovra trade rules --init` to write the starter "
                             "table\n");

  fs::create_directories(config());
  auto folder = rules({});
  EXPECT_EQ(folder.code, 3);
  EXPECT_EQ(folder.err, "tovra trade: " + path + ": Is a directory\n");
  fs::remove(config());

  write_text(config(), "[{\"name\": \"a\", \"posture\": \"ask\"}]");
  auto bad = rules({});
  EXPECT_EQ(bad.code, 3);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "tovra trade: " + path + ": missing field `ttl_secs` at line 1 column 32\n");

  unset("HOME");
  for (const Args& args : {Args{}, Args{"--init"}, Args{"--json"}}) {
    auto r = rules(args);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tovra trade: no HOME\n");
  }
}

}  // namespace
}  // namespace trade::testing
