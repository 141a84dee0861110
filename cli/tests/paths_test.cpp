// Option scanning, the configuration search, the per-account state folders, loading the rule
// table, the atomic save of the risk state, and what stands at a file's path.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include <set>

#include "ask_state.hpp"
#include "harness.hpp"
#include "options.hpp"
#include "paths.hpp"

namespace trade::testing {
namespace {

using Strings = std::vector<std::string>;

TEST(Options, ValuedFlagsTakeTheNextArgumentOfTheFirstOccurrence) {
  struct Case {
    Args args;
    const char* name;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {{"--equity", "--offline"}, "--equity", "--offline"},
      {{"--symbol", "A", "--symbol", "B"}, "--symbol", "A"},
      {{"x", "--symbol"}, "--symbol", std::nullopt},
      {{"--symbol", "--symbol", "B"}, "--symbol", "--symbol"},
      {{"--symbol=A"}, "--symbol", std::nullopt},
      {{}, "--symbol", std::nullopt},
      // Only the first occurrence counts, even when it stands last.
      {{"--why", "--why"}, "--why", "--why"},
      {{"--a", "1", "--why"}, "--why", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(value_of(c.args, c.name), c.value) << c.args.size();

  // `check` and `ask` read every `--leg` in order, a value even where it looks like an option.
  EXPECT_EQ(order_options({"--leg", "A", "--why", "--leg", "--leg", "B"}).leg, (Strings{"A", "B"}));
  EXPECT_TRUE(has({"--symbol", "--json"}, "--json"));
  EXPECT_FALSE(has({"--json=1", "--JSON"}, "--json"));
}

TEST(Options, NumbersThatDoNotReadCountAsAbsent) {
  EXPECT_EQ(decimal_of({"--equity", "--offline"}, "--equity"), std::nullopt);
  EXPECT_EQ(decimal_of({"--equity", "1,000"}, "--equity"), std::nullopt);
  EXPECT_EQ(decimal_of({"--equity", "1e3", "--equity", "5"}, "--equity"), 1000.0);
  EXPECT_EQ(decimal_of({"--equity"}, "--equity"), std::nullopt);
  EXPECT_EQ(whole(std::string("+4")), 4u);
  EXPECT_EQ(whole(std::string("-1")), std::nullopt);
  EXPECT_EQ(whole(std::string("2.0")), std::nullopt);
}

class Paths : public Scratch {};

TEST_F(Paths, ConfigurationSearchOrder) {
  const auto h = home();
  EXPECT_EQ(config_path(), h / ".vuzado" / "config" / "trade.json");
  // A file named .tovra is not a folder; a link to a folder is.
  write_text(h / ".tovra", "not a folder");
  EXPECT_EQ(config_path(), h / ".vuzado" / "config" / "trade.json");
  fs::remove(h / ".tovra");
  fs::create_directory(h / "real");
  fs::create_directory_symlink(h / "real", h / ".tovra");
  EXPECT_EQ(config_path(), h / ".tovra" / "config" / "trade.json");

  set("TOVRA_HOME", "/t");
  EXPECT_EQ(config_path(), fs::path("/t/config/trade.json"));
  set("TOVRA_TRADE_CONFIG", "/x/y/z.json");
  EXPECT_EQ(config_path(), fs::path("/x/y/z.json"));
  set("TOVRA_TRADE_CONFIG", "");
  EXPECT_EQ(config_path(), fs::path(""));
  // A value that is not valid text counts as unset.
  set("TOVRA_TRADE_CONFIG", "/bad/\xff.json");
  EXPECT_EQ(config_path(), fs::path("/t/config/trade.json"));

  unset("TOVRA_TRADE_CONFIG");
  unset("TOVRA_HOME");
  unset("HOME");
  EXPECT_EQ(config_path(), std::nullopt);
  EXPECT_EQ(state_path("risk.json").error(), "no HOME");
  EXPECT_EQ(memory_path(), std::nullopt);
  EXPECT_EQ(load_gate().error(), "no HOME \u2014 cannot resolve ~/.tovra/config/trade.json");
  // An empty HOME is no home either, not the current folder.
  set("HOME", "");
  EXPECT_EQ(config_path(), std::nullopt);
}

TEST_F(Paths, EachAccountHasItsOwnStateFolder) {
  set("HOME", "/h");
  EXPECT_EQ(config_path(), fs::path("/h/.vuzado/config/trade.json"));
  EXPECT_EQ(*state_path("journal.jsonl"), fs::path("/h/.vuzado/var/trade/journal.jsonl"));
  struct Case {
    std::optional<std::string> account;
    const char* folder;
  };
  const Case cases[] = {
      {std::nullopt, "/h/.vuzado/var/trade"},
      {"", "/h/.vuzado/var/trade"},
      {"default", "/h/.vuzado/var/trade"},
      {"Default", "/h/.vuzado/var/trade/default"},
      {"paper.main", "/h/.vuzado/var/trade/paper_main"},
      {"paper main", "/h/.vuzado/var/trade/paper_main"},
      {"\u00e91", "/h/.vuzado/var/trade/_1"},
      {"\u65e5\u672c-2", "/h/.vuzado/var/trade/__-2"},
      {"\U0001F600", "/h/.vuzado/var/trade/_"},
      {"../../etc", "/h/.vuzado/var/trade/______etc"},
      {"live_A-9", "/h/.vuzado/var/trade/live-a-9"},
  };
  for (const auto& c : cases) {
    if (c.account)
      set("ALPACA_ACCOUNT", *c.account);
    else
      unset("ALPACA_ACCOUNT");
    EXPECT_EQ(*state_path("risk.json"), fs::path(c.folder) / "risk.json") << c.folder;
    // The denial memory is shared by every account.
    EXPECT_EQ(memory_path(), fs::path("/h/.vuzado/var/trade/denials.json"));
  }
}

// Spellings that reach the same key names (MY_BOOK_PAPER_*) reach the same state folder: the
// one already holding the account's state, whoever spelled it, else the canonical one.
TEST_F(Paths, OneAccountOneStateFolderWhateverTheSpelling) {
  const char* const spellings[] = {"my-book", "my_book", "MY-BOOK", "My-Book"};
  const auto folder_of = [&](const char* account) {
    set("ALPACA_ACCOUNT", account);
    auto path = state_path("risk.json");
    return path ? path->parent_path().filename().string() : path.error();
  };
  for (const char* account : spellings)
    EXPECT_EQ(folder_of(account), "my-book") << account;

  // State kept under an older spelling stays where it is and binds every other spelling.
  fs::create_directories(state("My_Book"));
  for (const char* account : spellings)
    EXPECT_EQ(folder_of(account), "My_Book") << account;
  EXPECT_EQ(folder_of("other-book"), "other-book");

  // Two folders for one account: refused, naming both, rather than picking one.
  fs::create_directories(state("my-book"));
  for (const char* account : spellings)
    EXPECT_NE(folder_of(account).find(" names one account, but"), std::string::npos) << account;
  EXPECT_EQ(folder_of("my_book"),
            "ALPACA_ACCOUNT \"my_book\" names one account, but its state is kept in more than one "
            "folder:\n  " +
                state("My_Book").string() + "\n  " + state("my-book").string() +
                "\n  Refusing to pick one: each holds its own risk state, journal and diary. Merge "
                "them into one folder (keep any halt) and remove the others.");
  set("ALPACA_ACCOUNT", "MY-BOOK");
  auto refused = run({"report"});
  EXPECT_EQ(refused.code, 3);
  EXPECT_EQ(refused.err.rfind("tovra trade: ALPACA_ACCOUNT \"MY-BOOK\" names one account", 0), 0u);
}

TEST_F(Paths, TheBaseFolderIsTwoLevelsAboveTheRuleTable) {
  set("TOVRA_TRADE_CONFIG", "/x/y/z.json");
  EXPECT_EQ(memory_path(), fs::path("/x/var/trade/denials.json"));
  EXPECT_EQ(*state_path("diary.md"), fs::path("/x/var/trade/diary.md"));
  set("TOVRA_TRADE_CONFIG", "/y/z.json");
  EXPECT_EQ(memory_path(), fs::path("/var/trade/denials.json"));
  for (const char* shallow : {"trade.json", "/trade.json", ""}) {
    set("TOVRA_TRADE_CONFIG", shallow);
    EXPECT_EQ(config_path(), fs::path(shallow));
    EXPECT_EQ(memory_path(), std::nullopt) << shallow;
    EXPECT_FALSE(state_path("risk.json")) << shallow;
  }
}

TEST_F(Paths, LoadGateSaysWhatIsWrong) {
  const auto path = config().string();
  EXPECT_EQ(load_gate().error(), "no rule table at " + path +
                                     " \u2014 run `tovra trade rules --init` to write the "
                                     "starter table");
  fs::create_directories(config());
  EXPECT_EQ(load_gate().error(), path + ": Is a directory");
  fs::remove(config());
  write_text(config(), "[\n  {\"name\": \"x\", \"posture\": \"maybe\"}\n]\n");
  EXPECT_EQ(load_gate().error(), path +
                                     ": unknown variant `maybe`, expected one of `deny`, `ask`, "
                                     "`allow` at line 2 column 34");
  write_text(config(), "[{\"name\": \"x\", \"posture\": \"deny\"}]");
  auto gate = load_gate();
  ASSERT_TRUE(gate.ok()) << gate.error();
  ASSERT_EQ(gate->rules.size(), 1u);
  EXPECT_EQ(gate->rules[0].name, "x");
}

TEST_F(Paths, SaveRiskCreatesTheFolderAndReplacesWhole) {
  set("ALPACA_ACCOUNT", "paper.main");
  const auto path = *state_path("risk.json");
  ASSERT_FALSE(fs::exists(path.parent_path()));
  vavev_aziz::RiskState s;
  s.high_water = 104000;
  s.week_epoch = 2918;
  ASSERT_TRUE(save_risk(path, s, {}).ok());
  EXPECT_EQ(path, state("paper_main/risk.json"));
  EXPECT_EQ(slurp(path),
            "{\n  \"high_water\": 104000.0,\n  \"halt\": null,\n  \"week_start_equity\": 0.0,\n"
            "  \"week_epoch\": 2918\n}");
  s.halt = vavev_aziz::Halt{1765000000, "drawdown", "r", 93000, 104000, std::nullopt};
  ASSERT_TRUE(save_risk(path, s, {}).ok());
  EXPECT_EQ(vavev_aziz::read_risk_state(slurp(path))->halt->reason, "r");
  // Only the state and its lock file remain: no sibling is left behind.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(path.parent_path()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"risk.json", "risk.json.lock"}));
}

TEST_F(Paths, AFailedSaveLeavesTheOldStateIntact) {
  const auto path = *state_path("risk.json");
  write_text(path, "{\"high_water\": 1.0}");
  // The lock beside it cannot be taken while a folder stands in its place.
  fs::create_directory(state("risk.json.lock"));
  EXPECT_EQ(save_risk(path, {}, {}).error(), std::errc::is_a_directory);
  EXPECT_EQ(slurp(path), "{\"high_water\": 1.0}");
  fs::remove(state("risk.json.lock"));

  if (::geteuid() == 0) return;  // the superuser writes into read-only folders
  fs::permissions(path.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
  auto denied = save_risk(path, {}, {});
  fs::permissions(path.parent_path(), fs::perms::owner_all);
  EXPECT_EQ(denied.error(), std::errc::permission_denied);
  EXPECT_EQ(slurp(path), "{\"high_water\": 1.0}");
}

// A FIFO or a device where a file should be reads as that file's "unreadable" and takes no
// append; nothing waits on it. Each run has a time limit, so a hang fails rather than stalls.
TEST_F(Paths, OnlyRegularFilesAreReadOrAppendedTo) {
  set("ALPACA_ACCOUNT", "default");
  const Args ask{"ask", "--symbol", "AAPL", "--notional", "100", "--offline", "--equity", "1e5"};
  const fs::path limits = config().parent_path() / "trade-limits.json";
  const std::string unreadable = "): not a regular file \u2014 ";
  struct Case {
    fs::path file;
    Args line;
    int code;
    std::string says;  // on standard output or standard error
  };
  const Case cases[] = {
      {state("journal.jsonl"), {"report", "--json"}, 0, "\"open\": 0,"},
      {state("journal.jsonl"), ask, 0, "journal write FAILED (OPEN"},
      {state("risk.json"), ask, 0, "risk state unreadable (" + state("risk.json").string()},
      {state("risk.json"), {"resume"}, 0, "not halted"},
      {state("denials.json"), {"memory"}, 0, "nothing refused"},
      {state("denials.json"), ask, 0, "denial memory not persisted"},
      {config(),
       {"check", "--symbol", "AAPL", "--notional", "100", "--offline", "--equity", "1e5"},
       3,
       "tovra trade: " + config().string() + ": not a regular file\n"},
      {limits, ask, 0, "limits file unreadable (" + limits.string() + unreadable},
      {state("diary.md"), {"diary", "--read"}, 0, "no diary yet"},
      {state("diary.md"), {"diary", "words"}, 3, "diary write FAILED"},
  };
  vavev_aziz::platform::RunOptions bounded;
  bounded.limit = std::chrono::seconds(20);
  for (const bool fifo : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.file.filename().string() + " " + c.line[0] + (fifo ? " fifo" : " zero"));
      fs::remove_all(home() / ".vuzado");
      write_text(config(), R"([{"name": "all", "when": [], "posture": "allow"}])");
      fs::create_directories(state(""));
      fs::remove(c.file);
      if (fifo)
        ASSERT_EQ(::mkfifo(c.file.c_str(), 0600), 0);
      else
        fs::create_symlink("/dev/zero", c.file);
      const auto ran = vavev_aziz::platform::run(TOVRA_TRADE_BIN, c.line, bounded);
      EXPECT_TRUE(ran.exited_with(c.code)) << ran.out << ran.err;
      EXPECT_NE((ran.out + ran.err).find(c.says), std::string::npos) << ran.out << ran.err;
    }
  }

  // A file past the largest whole read is unreadable too: the risk state is set aside.
  fs::remove(state("risk.json"));
  write_text(state("risk.json"), "{}");
  fs::resize_file(state("risk.json"), vavev_aziz::platform::kLargestFile + 1);
  const auto large = run(ask);
  EXPECT_NE(large.err.find("): File too large \u2014 set aside as"), std::string::npos)
      << large.err;

  // The diary, only ever added to, is then read from its end.
  fs::remove(state("diary.md"));
  write_text(state("diary.md"), "\n## 2026-01-05 09:07:03Z \u00b7 turn\n\nfirst\n");
  fs::resize_file(state("diary.md"), vavev_aziz::platform::kLargestFile);
  std::ofstream(state("diary.md"), std::ios::app)
      << "\n## 2026-01-06 09:07:03Z \u00b7 turn\n\nlast\n";
  EXPECT_TRUE(run({"diary", "--read", "9"})
                  .out.ends_with("\n\n## 2026-01-06 09:07:03Z \u00b7 turn\n\nlast\n\n"));

  // No argument can make a journal line longer than its readers keep.
  Args longest = ask;
  longest.insert(longest.end(), {"--why", std::string((1u << 20) + 1, 'w')});
  const auto refused = run(longest);
  EXPECT_EQ(refused.code, 3);
  EXPECT_EQ(refused.err,
            "tovra trade: an argument of 1048577 bytes is longer than the 1048576 bytes any "
            "argument may hold\n");
  EXPECT_EQ(slurp(state("journal.jsonl")).find("www"), std::string::npos);
}

}  // namespace
}  // namespace trade::testing
