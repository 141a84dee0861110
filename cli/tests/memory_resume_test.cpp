// The memory and resume commands: the listing of refusals still binding, the raw and forget
// forms, and clearing a halt behind a fake presence-check program.
#include <ctime>

#include "harness.hpp"
#include "vavev_aziz/risk.hpp"

namespace trade::testing {
namespace {

class MemoryResume : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    set("ALPACA_ACCOUNT", "default");
  }
  fs::path denials() const { return state("denials.json"); }
  fs::path risk() const { return state("risk.json"); }

  static vavev_aziz::RiskState halted() {
    vavev_aziz::RiskState s;
    s.high_water = 100000.5;
    s.halt = vavev_aziz::Halt{1765000000, "drawdown", "drawdown -10.4% from 100000.5",
                              89600.4,    100000.5,   0.42};
    s.week_start_equity = 95000;
    s.week_epoch = 2918;
    return s;
  }
};

const char* const kNothing = "nothing refused (or nothing still inside its suppression window)\n";

TEST_F(MemoryResume, MemoryListsBindingRefusalsInFileOrder) {
  const auto now = static_cast<long long>(std::time(nullptr));
  // Keys deliberately out of byte order: the listing follows the file, not a sorted map.
  write_text(denials(), "{\"entries\": {\"z|buy|SPY\": " + std::to_string(now + 90) +
                            ", \"a|sell|QQQ\": " + std::to_string(now - 60) +
                            ".5, \"m|buy|IWM\": " + std::to_string(now + 3630) +
                            ".25, \"odd\": \"soon\"}}");
  const std::string heading = denials().string() + " \u2014 refusals still binding\n\n";
  auto listed = run({"memory"});
  EXPECT_EQ(listed.code, 0);
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out, heading + "  z|buy|SPY   2 min left\n  m|buy|IWM   61 min left\n");

  write_text(denials(), "{\"entries\": {\"a|sell|QQQ\": " + std::to_string(now - 60) + "}}");
  EXPECT_EQ(run({"memory"}).out, heading);

  // Listing never writes the file; unreadable or empty memories read as nothing refused.
  EXPECT_EQ(slurp(denials()), "{\"entries\": {\"a|sell|QQQ\": " + std::to_string(now - 60) + "}}");
  for (const char* text : {"{\"entries\": {}}", "{\"entries\": {"}) {
    write_text(denials(), text);
    EXPECT_EQ(run({"memory"}).out, kNothing) << text;
  }
  fs::remove(denials());
  EXPECT_EQ(run({"memory"}).out, kNothing);
}

TEST_F(MemoryResume, MemoryJsonPrintsTheRawText) {
  auto none = run({"memory", "--json"});
  EXPECT_EQ(none.code, 0);
  EXPECT_EQ(none.out, "{}\n");

  write_text(denials(), "{\"entries\": {\"b\": 1, \"a\": 2}}  not json");
  EXPECT_EQ(run({"memory", "x", "--json"}).out, "{\"entries\": {\"b\": 1, \"a\": 2}}  not json\n");
  // Bytes that are not UTF-8 text are no memory, and not printed.
  write_text(denials(), "{\"entries\": {\"b\xff\": 1}}");
  EXPECT_EQ(run({"memory", "--json"}).out, "{}\n");
}

TEST_F(MemoryResume, ForgetDeletesTheFileAndWinsOverJson) {
  write_text(denials(), "{\"entries\": {\"a\": 9999999999}}");
  auto forgot = run({"memory", "--json", "--forget"});
  EXPECT_EQ(forgot.code, 0);
  EXPECT_EQ(forgot.out, "forgot every refusal (" + denials().string() + ")\n");
  EXPECT_FALSE(fs::exists(denials()));

  auto again = run({"memory", "--forget"});
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(again.out, "nothing remembered\n");

  // A folder where the file should be is reported and left standing, never deleted.
  fs::create_directories(denials());
  auto folder = run({"memory", "--forget"});
  EXPECT_EQ(folder.code, 3);
  EXPECT_EQ(folder.out, "");
  EXPECT_EQ(folder.err.rfind("tovra trade: " + denials().string() + ": ", 0), 0u) << folder.err;
  EXPECT_TRUE(fs::is_directory(denials()));
}

TEST_F(MemoryResume, ResumeWithoutAHaltHasNothingToClear) {
  const std::string nothing = "not halted \u2014 nothing to clear\n";
  fake_program("kestrin", "touch \"$HOME/asked\"");
  auto missing = run({"resume", "--anything"});
  EXPECT_EQ(missing.code, 0);
  EXPECT_EQ(missing.out, nothing);

  vavev_aziz::RiskState calm = halted();
  calm.halt.reset();
  for (const std::string& text :
       {std::string("{\"halt\": 3}"), vavev_aziz::write_risk_state(calm)}) {
    write_text(risk(), text);
    auto r = run({"resume"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, nothing);
    EXPECT_EQ(slurp(risk()), text);
  }
  EXPECT_FALSE(fs::exists(home() / "asked"));
}

const char* const kHaltLines =
    "HALTED: drawdown -10.4% from 100000.5\n"
    "  tripped at equity 89600.40 against high-water 100000.50\n"
    "\n"
    "Clearing a halt requires presence at this machine.\n";

TEST_F(MemoryResume, ResumeClearsOnlyTheHaltAfterThePresenceCheck) {
  fake_program("kestrin", "echo \"$@\" > \"$HOME/asked\"; exit 0");
  write_text(risk(), vavev_aziz::write_risk_state(halted()));
  auto r = run({"resume"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            std::string(kHaltLines) + "\ncleared the drawdown halt \u2014 trading may resume\n");
  EXPECT_EQ(slurp(home() / "asked"), "arm --reason clear the tovra-trade halt\n");
  vavev_aziz::RiskState cleared = halted();
  cleared.halt.reset();
  cleared.cleared_halt_at = 1765000000;
  cleared.cleared_journal_length = 0;  // no journal: every halt written from now on stands
  EXPECT_EQ(slurp(risk()), vavev_aziz::write_risk_state(cleared));

  // What another run saved while the person was confirming stays; only the halt goes.
  vavev_aziz::RiskState meanwhile = halted();
  meanwhile.high_water = 120000;
  write_text(risk(), vavev_aziz::write_risk_state(halted()));
  write_text(home() / "meanwhile.json", vavev_aziz::write_risk_state(meanwhile));
  fake_program("kestrin", "cp \"$HOME/meanwhile.json\" \"" + risk().string() + "\"");
  ASSERT_EQ(run({"resume"}).code, 0);
  meanwhile.halt.reset();
  meanwhile.cleared_halt_at = 1765000000;
  meanwhile.cleared_journal_length = 0;
  EXPECT_EQ(slurp(risk()), vavev_aziz::write_risk_state(meanwhile));
}

TEST_F(MemoryResume, AFailedPresenceCheckLeavesTheHaltStanding) {
  const std::string before = vavev_aziz::write_risk_state(halted());
  write_text(risk(), before);
  for (bool present : {true, false}) {
    if (present)
      fake_program("kestrin", "exit 1");
    else
      fs::remove(bin() / "kestrin");
    auto r = run({"resume"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, kHaltLines);
    EXPECT_EQ(r.err,
              "tovra trade: the arm gate did not pass \u2014 the halt STANDS.\n"
              "  (this is the intended failure mode: nobody present, nothing cleared)\n");
    EXPECT_EQ(slurp(risk()), before);
  }

  // The check passes but the save cannot: the halt stays on disk and the failure is told.
  fake_program("kestrin", "exit 0");
  fs::create_directories(state("risk.json.lock"));
  auto unsaved = run({"resume"});
  EXPECT_EQ(unsaved.code, 3);
  EXPECT_EQ(unsaved.out, kHaltLines);
  EXPECT_EQ(
      unsaved.err.rfind("tovra trade: could not persist the clear (" + risk().string() + "): ", 0),
      0u)
      << unsaved.err;
  EXPECT_EQ(slurp(risk()), before);
}

TEST_F(MemoryResume, NoBaseFolderExitsThree) {
  unset("HOME");
  for (const Args& line : {Args{"memory"}, Args{"resume"}, Args{"diary", "text"}}) {
    auto r = run(line);
    EXPECT_EQ(r.code, 3) << line[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tovra trade: no HOME\n");
  }
}

}  // namespace
}  // namespace trade::testing
