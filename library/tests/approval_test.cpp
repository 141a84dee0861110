// The owner channel through the messaging program, order fingerprints and the denial memory.
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "scratch.hpp"
#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// A fresh folder per test for fake programs and state files.
class Folder : public tovra::testing::Scratch {
 protected:
  const fs::path& root() const { return scratch.path(); }
  // An executable shell script; returns its full path.
  std::string script(const std::string& name, const std::string& body) {
    return scratch.script(name, body).string();
  }
};

std::string describe(const Verdict& v) {
  if (v.approved()) return "approved";
  if (v.denied()) return "denied";
  if (v.expired()) return "expired";
  if (v.parked()) return "parked";
  return "undeliverable: " + v.undeliverable()->reason;
}

const std::string kNoHandleText = "undeliverable: no handle configured \u2014 `imsg self <number>`";

using ImsgAskerTest = Folder;

TEST_F(ImsgAskerTest, ExitStatusAndOutputDecideTheVerdict) {
  struct Case {
    int status;
    const char* out;
    std::string want;
  };
  const Case cases[] = {
      {0, "", "approved"},
      {0, "send failed", "approved"},
      {1, R"({"timeout":true})", "denied"},
      {1, "", "denied"},
      {2, R"({"ok":false,"timeout":true})", "expired"},
      {2, R"({"ok": false, "timeout": true})", "expired"},
      {2, R"({"timeout":  true})", "undeliverable: imsg returned a non-verdict status"},
      {2, R"({"timeout" : true})", "undeliverable: imsg returned a non-verdict status"},
      {2, R"({"timeout":false})", "undeliverable: imsg returned a non-verdict status"},
      {2, "error: send failed\n", "undeliverable: send failed"},
      {3, "no handle set", kNoHandleText},
      {2, R"(send failed {"timeout":true})", "expired"},
      {2, "no handle; send failed", "undeliverable: send failed"},
      {2, "", "undeliverable: imsg returned a non-verdict status"},
      {255, "\xff\xfe send failed \xc3", "undeliverable: send failed"},
  };
  for (const auto& c : cases) {
    const auto program = script(
        "imsg", "printf '%s' '" + std::string(c.out) + "'\nexit " + std::to_string(c.status));
    EXPECT_EQ(describe(ImsgAsker(program).ask("q", Duration::seconds(5))), c.want)
        << "exit " << c.status << " output " << c.out;
  }
}

TEST_F(ImsgAskerTest, StandardErrorIsIgnored) {
  const auto program = script("imsg", "echo 'send failed' >&2\nexit 2");
  EXPECT_EQ(describe(ImsgAsker(program).ask("q", Duration::seconds(5))),
            "undeliverable: imsg returned a non-verdict status");
}

TEST_F(ImsgAskerTest, AProgramKilledBySignalIsReadFromItsOutput) {
  const auto quiet = script("quiet", "kill -KILL $$");
  EXPECT_EQ(describe(ImsgAsker(quiet).ask("q", Duration::seconds(5))),
            "undeliverable: imsg returned a non-verdict status");
  const auto timed = script("timed", "printf '{\"timeout\": true}'\nkill -TERM $$");
  EXPECT_EQ(describe(ImsgAsker(timed).ask("q", Duration::seconds(5))), "expired");
}

TEST_F(ImsgAskerTest, AProgramThatCannotStartIsNotRunnable) {
  const auto not_executable = root() / "imsg";
  write_text(not_executable, "#!/bin/sh\nexit 0\n");
  for (const std::string& program : {(root() / "missing").string(), not_executable.string(),
                                     std::string("tovra-no-such-imsg-program")}) {
    EXPECT_EQ(describe(ImsgAsker(program).ask("q", Duration::seconds(5))),
              "undeliverable: imsg not runnable")
        << program;
  }
}

TEST_F(ImsgAskerTest, PassesExactlyFourArguments) {
  const auto record = root() / "args";
  const auto program =
      script("imsg", "printf '%s\\n' \"$#\" \"$@\" > '" + record.string() + "'\nexit 0");
  const std::string question =
      "BUY equity SPY $1500.00 (opening) \u2014 \"why\" it's 'quoted'  [rule]";
  EXPECT_TRUE(ImsgAsker(program).ask(question, Duration{120, 700'000'000}).approved());
  EXPECT_EQ(slurp(record), "4\napprove\n" + question + "\n--timeout\n120\n");
  EXPECT_TRUE(ImsgAsker(program).ask("", Duration{0, 999'999'999}).approved());
  EXPECT_EQ(slurp(record), "4\napprove\n\n--timeout\n0\n");
}

TEST_F(ImsgAskerTest, TheVerdictComesWhenTheProgramEndsNotWhenItsChildDoes) {
  struct Case {
    const char* ending;
    std::string want;
  };
  const Case cases[] = {
      {"exit 0", "approved"},
      {"exit 1", "denied"},
      {"echo 'send failed'; exit 2", "undeliverable: send failed"},
  };
  const auto pid = root() / "child";
  for (const auto& c : cases) {
    // The child inherits standard output and would hold it open for 1000 s.
    const auto program =
        script("imsg", "sleep 1000 &\necho $! > '" + pid.string() + "'\n" + c.ending);
    const auto start = std::chrono::steady_clock::now();
    const auto verdict = describe(ImsgAsker(program).ask("q", Duration::seconds(5)));
    if (const pid_t child = std::atoi(slurp(pid).c_str()); child > 0) ::kill(child, SIGKILL);
    EXPECT_EQ(verdict, c.want) << c.ending;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.ending;
  }
}

TEST_F(ImsgAskerTest, AProgramThatOutlivesItsBoundIsEnded) {
  ImsgAsker hung(script("imsg", "exec sleep 1000"));
  hung.grace = Duration::seconds(0);
  EXPECT_EQ(describe(hung.ask("q", Duration::seconds(1))),
            "undeliverable: imsg did not answer within 1 s");
  EXPECT_EQ(ImsgAsker().grace, Duration::seconds(60));
}

TEST_F(ImsgAskerTest, OnlyTheFirstMebibyteOfOutputIsRead) {
  const auto late = script("imsg", "head -c 1048576 /dev/zero\necho 'send failed'\nexit 2");
  EXPECT_EQ(describe(ImsgAsker(late).ask("q", Duration::seconds(5))),
            "undeliverable: imsg returned a non-verdict status");
}

TEST_F(ImsgAskerTest, TheBrokerKeysStayOutOfItsEnvironment) {
  for (const char* name : {"ALPACA_API_KEY", "ALPACA_SECRET_KEY", "ALPACA_API_SECRET",
                           "MY_BOOK_PAPER_KEY", "MY_BOOK_PAPER_SECRET", "OTHER_PAPER_KEY"})
    env.set(name, "secret-value");
  env.set("ALPACA_ACCOUNT", "my-book");
  env.set("PAPER_KEYRING", "kept");
  const auto record = root() / "env";
  const auto program = script("imsg", "env > '" + record.string() + "'");
  EXPECT_TRUE(ImsgAsker(program).ask("q", Duration::seconds(5)).approved());
  const auto seen = slurp(record);
  EXPECT_EQ(seen.find("secret-value"), std::string::npos) << seen;
  EXPECT_NE(seen.find("ALPACA_ACCOUNT=my-book\n"), std::string::npos);
  EXPECT_NE(seen.find("PAPER_KEYRING=kept\n"), std::string::npos);
}

TEST_F(ImsgAskerTest, TheDefaultProgramIsImsgOnTheSearchPath) {
  script("imsg", "exit 1");
  const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (root().string() + ":" + saved).c_str(), 1);
  const auto verdict = ImsgAsker().ask("q", Duration::seconds(1));
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_TRUE(verdict.denied());
}

Order order_of(std::string symbol, double notional, Intent intent = Intent::Opening,
               AssetClass c = AssetClass::Equity, Side side = Side::Buy) {
  return Order::propose(std::move(symbol), c, side, intent, notional);
}

TEST(Fingerprint, BucketsBreakAtHalfDecades) {
  const std::string kMin = "-9223372036854775808";
  struct Case {
    double notional;
    std::string bucket;
  };
  const Case cases[] = {
      {999, "5"},
      {1000, "6"},
      {3000, "6"},
      {3100, "6"},
      {3162, "6"},
      {3163, "7"},
      {3200, "7"},
      {10000, "8"},
      {1, "0"},
      {0.5, "-1"},
      {0, kMin},
      {-5000, kMin},
      {std::nan(""), kMin},
      {std::numeric_limits<double>::infinity(), kMin},
      {std::numeric_limits<double>::max(), "616"},
      {std::numeric_limits<double>::denorm_min(), "-647"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Fingerprint::of(order_of("SPY", c.notional)).text, "SPY|equity|buy|open|b" + c.bucket)
        << c.notional;
}

TEST(Fingerprint, NamesTheKindOfOrderNotTheOrder) {
  EXPECT_EQ(Fingerprint::of(order_of("aapl", 5000)).text, "AAPL|equity|buy|open|b7");
  EXPECT_EQ(Fingerprint::of(order_of("spy", 2000)), Fingerprint::of(order_of("SPY", 2500)));
  // Only ASCII letters change case.
  EXPECT_EQ(Fingerprint::of(
                order_of("btc/usd\u00e9", 100, Intent::Closing, AssetClass::Crypto, Side::Sell))
                .text,
            "BTC/USD\u00e9|crypto|sell|close|b4");
  // The order's own intent counts, not its legs', and legs, limit and thesis do not count.
  auto o = order_of("SPY", 500, Intent::Opening, AssetClass::Option, Side::Sell);
  auto with_legs = o;
  with_legs.legs.push_back(Leg{"SPY250117P00400000", 2, 1, Side::Sell, false, Intent::Closing});
  with_legs.limit_price = -1.5;
  with_legs.thesis = "theta";
  EXPECT_EQ(Fingerprint::of(with_legs), Fingerprint::of(o));
  EXPECT_EQ(Fingerprint::of(o).text, "SPY|option|sell|open|b5");
}

using Memory = Folder;

TEST_F(Memory, UnreadableOrInvalidFilesAreEmpty) {
  const auto path = root() / "denials.json";
  EXPECT_TRUE(DenialMemory::load(path).entries.empty());  // missing
  for (std::string_view text : {
           "",
           "{",
           "[]",
           "{}",
           R"({"entries": null})",
           R"({"entries": []})",
           R"({"entries": {"A|equity|buy|open|b6": "soon"}})",
           R"({"entries": {"A|equity|buy|open|b6": null}})",
           R"({"entries": {"A|equity|buy|open|b6": 1e400}})",
           R"({"entries": {"A": 5}, "entries": {"B": 6}})",
           R"({"entries": {"A|equity|buy|open|b6": 5}} x)",
           "{\"entries\": {\"A\xff\": 5}}",
       }) {
    write_text(path, std::string(text));
    EXPECT_TRUE(DenialMemory::load(path).entries.empty()) << text;
  }
  fs::create_directories(root() / "folder.json");
  EXPECT_TRUE(DenialMemory::load(root() / "folder.json").entries.empty());
}

TEST_F(Memory, LoadsNumbersAndIgnoresOtherKeys) {
  const auto path = root() / "denials.json";
  write_text(path, R"({"version": [1, {"x": null}],
    "entries": {"B|equity|buy|open|b6": 1700000000, "A|equity|buy|open|b6": 1700000000.5,
                "C": -2, "C": 7}})");
  const auto m = DenialMemory::load(path);
  const std::map<std::string, double> want = {
      {"A|equity|buy|open|b6", 1700000000.5}, {"B|equity|buy|open|b6", 1700000000}, {"C", 7}};
  EXPECT_EQ(m.entries, want);
}

TEST_F(Memory, SavesPrettyJsonInByteOrderWithoutAFinalLineFeed) {
  const auto path = root() / "var" / "trade" / "denials.json";
  DenialMemory m;
  EXPECT_TRUE(m.save(path));  // the folders do not exist yet
  EXPECT_EQ(slurp(path), "{\n  \"entries\": {}\n}");

  m.entries = {{"\u00c9TF|equity|buy|open|b6", 1700000000.25},
               {"aapl|equity|buy|open|b7", 1700014400},
               {"SPY|option|sell|close|b5", 1e9},
               {"NAN|equity|buy|open|b6", std::nan("")}};
  ASSERT_TRUE(m.save(path));
  EXPECT_EQ(slurp(path),
            "{\n"
            "  \"entries\": {\n"
            "    \"SPY|option|sell|close|b5\": 1000000000.0,\n"
            "    \"aapl|equity|buy|open|b7\": 1700014400.0,\n"
            "    \"\u00c9TF|equity|buy|open|b6\": 1700000000.25\n"
            "  }\n"
            "}");
  EXPECT_FALSE(fs::exists(path.parent_path() / "denials.json.part"));

  // What was saved reads back whole, the entry that could not be written left out.
  m.entries.erase("NAN|equity|buy|open|b6");
  EXPECT_EQ(DenialMemory::load(path).entries, m.entries);
}

TEST_F(Memory, AFailedSaveIsReportedAndKeepsTheOldFile) {
  const auto blocker = root() / "state";
  write_text(blocker, "not a folder");
  DenialMemory m;
  m.entries["X"] = 1;
  const auto under_file = m.save(blocker / "denials.json");
  ASSERT_FALSE(under_file);
  EXPECT_TRUE(under_file.error());

  // A lock that cannot be taken leaves the previous memory in place.
  const auto path = root() / "denials.json";
  write_text(path, R"({"entries": {"KEEP": 5}})");
  fs::create_directories(root() / "denials.json.lock");
  EXPECT_FALSE(m.save(path));
  EXPECT_EQ(DenialMemory::load(path).entries.count("KEEP"), 1u);
}

TEST_F(Memory, ASaveMergesIntoWhatOtherRunsSaved) {
  const auto path = root() / "denials.json";
  write_text(path, R"({"entries": {"KEPT": 50, "RENEWED": 60, "PRUNED": 10, "FORGOTTEN": 70}})");
  auto m = DenialMemory::load(path);
  // Meanwhile another run saves: it renews one entry, adds one, and "FORGOTTEN" is forgotten.
  write_text(path, R"({"entries": {"KEPT": 50, "RENEWED": 90, "PRUNED": 10, "THEIRS": 80}})");
  m.entries.erase("PRUNED");  // expired by this run's lookup
  m.entries["RENEWED"] = 65;  // this run's own "no", earlier than the other run's
  m.entries["MINE"] = 100;
  ASSERT_TRUE(m.save(path));
  EXPECT_EQ(DenialMemory::load(path).entries,
            (std::map<std::string, double>{
                {"KEPT", 50}, {"MINE", 100}, {"RENEWED", 90}, {"THEIRS", 80}}));

  // A memory forgotten whole is not brought back by a run that loaded it before.
  auto stale = DenialMemory::load(path);
  fs::remove(path);
  stale.entries["NEW"] = 120;
  ASSERT_TRUE(stale.save(path));
  EXPECT_EQ(DenialMemory::load(path).entries, (std::map<std::string, double>{{"NEW", 120}}));
}

// An entry suppresses only inside its window, and is dropped only a day after it: a run whose
// clock is five hours ahead leaves a four-hour refusal in place for the real time.
TEST(MemoryLookup, ExpiredEntriesStayADayAndSuppressNothing) {
  const auto spy = Fingerprint::of(order_of("SPY", 2000));
  const auto qqq = Fingerprint::of(order_of("QQQ", 2000));
  DenialMemory m;
  m.entries = {{spy.text, 100}, {qqq.text, 100 + 14400}, {"NAN", std::nan("")}};
  EXPECT_EQ(m.suppressed_until(100 + 18000, qqq), std::nullopt);
  EXPECT_EQ(m.entries, (std::map<std::string, double>{{spy.text, 100}, {qqq.text, 14500}}));
  EXPECT_EQ(m.suppressed_until(200, qqq), 14500);
  EXPECT_EQ(m.suppressed_until(100, spy), std::nullopt);  // equal to now: no longer suppressed
  EXPECT_EQ(m.suppressed_until(100 + 86400, spy), std::nullopt);
  EXPECT_EQ(m.entries.size(), 2u);  // a day after its expiry, not yet more
  EXPECT_EQ(m.suppressed_until(100.5 + 86400, spy), std::nullopt);
  EXPECT_EQ(m.entries, (std::map<std::string, double>{{qqq.text, 14500}}));
}

}  // namespace
}  // namespace vavev_aziz
