// The platform layer: running external programs and replacing files atomically.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "scratch.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Platform : public tovra::testing::Scratch {
 protected:
  const fs::path& dir() const { return scratch.path(); }

  static RunOutcome sh(const std::string& script, RunOptions options = {}) {
    return run("/bin/sh", {"-c", script}, options);
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void write(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
};

TEST_F(Platform, ProgramEndingsAreKeptApart) {
  auto missing = run("tovra-no-such-program-here", {"arm"});
  EXPECT_EQ(missing.ending, Ending::CouldNotStart);
  EXPECT_TRUE(missing.start_error);
  EXPECT_FALSE(missing.exited_with(0));

  auto ok = sh("printf out; printf err >&2");
  EXPECT_TRUE(ok.exited_with(0));
  EXPECT_EQ(ok.out, "out");
  EXPECT_EQ(ok.err, "err");

  auto failed = sh("exit 1");
  EXPECT_EQ(failed.ending, Ending::Exited);
  EXPECT_EQ(failed.status, 1);

  auto killed = sh("kill -TERM $$; sleep 5");
  EXPECT_EQ(killed.ending, Ending::Signaled);
  EXPECT_EQ(killed.status, SIGTERM);
  EXPECT_FALSE(killed.exited_with(0));
}

TEST_F(Platform, ArgumentsReachTheProgramVerbatimWithoutAShell) {
  auto r = run("/bin/sh", {"-c", "printf '%s|' \"$@\"", "name", "a b", "$HOME", "", "\"q\";ls"});
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.out, "a b|$HOME||\"q\";ls|");
  // Standard input is empty, never the caller's terminal or pipe.
  auto cat = run("cat", {}, {2s, std::nullopt});
  EXPECT_TRUE(cat.exited_with(0));
  EXPECT_EQ(cat.out, "");
}

TEST_F(Platform, TheGivenEnvironmentIsTheWholeEnvironment) {
  RunOptions options;
  options.environment = std::vector<std::string>{"ONLY=this"};
  auto r = run("/bin/sh", {"-c", "printf '%s,%s' \"$ONLY\" \"${HOME-unset}\""}, options);
  EXPECT_EQ(r.out, "this,unset");
}

TEST_F(Platform, ChattyProgramsDoNotDeadlock) {
  // Far more than a pipe holds, on each stream, in both orders: reading one stream to its end
  // before the other would hang here.
  for (const char* script : {"head -c 1000000 /dev/zero; head -c 700000 /dev/zero >&2",
                             "head -c 700000 /dev/zero >&2; head -c 1000000 /dev/zero"}) {
    auto r = sh(script, {20s, std::nullopt});
    EXPECT_TRUE(r.exited_with(0)) << script;
    EXPECT_EQ(r.out.size(), 1000000u) << script;
    EXPECT_EQ(r.err.size(), 700000u) << script;
  }
}

TEST_F(Platform, TheTimeLimitEndsAHungProgram) {
  const auto start = std::chrono::steady_clock::now();
  auto r = sh("printf started; exec sleep 30", {300ms, std::nullopt});
  EXPECT_EQ(r.ending, Ending::TimedOut);
  EXPECT_EQ(r.out, "started");
  // A program that closes its outputs and lingers must be ended too.
  auto quiet = sh("exec >&- 2>&-; exec sleep 30", {300ms, std::nullopt});
  EXPECT_EQ(quiet.ending, Ending::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(Platform, TheRunEndsWithTheProgramNotWithWhatItLeftBehind) {
  // The program prints its child's id and exits; the child holds both outputs open. The limit
  // only keeps a failure from hanging the suite.
  auto r = sh("sleep 1000 & echo $!; printf err >&2; exit 3", {10s, std::nullopt});
  if (const pid_t child = std::atoi(r.out.c_str()); child > 0) ::kill(child, SIGKILL);
  EXPECT_TRUE(r.exited_with(3));
  EXPECT_NE(r.out, "");
  EXPECT_EQ(r.err, "err");
}

TEST_F(Platform, OutputBeyondTheKeptShareIsReadAndDropped) {
  RunOptions options{20s, std::nullopt, 1000};
  auto r = sh("head -c 3000000 /dev/zero; printf err >&2; exit 4", options);
  EXPECT_TRUE(r.exited_with(4));  // never left blocked on a full pipe
  EXPECT_EQ(r.out.size(), 1000u);
  EXPECT_EQ(r.err, "err");
  // A limit too far off to count is no limit, not an overflow into the past.
  EXPECT_TRUE(sh("exit 0", {std::chrono::milliseconds::max(), std::nullopt}).exited_with(0));
}

TEST_F(Platform, AnIgnoredChildSignalDoesNotTurnFailureIntoSuccess) {
  // A parent may start us with SIGCHLD ignored; the exit status must still be seen.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &saved), 0);
  auto failed = sh("exit 1");
  auto passed = sh("exit 0");
  struct sigaction after {};
  ::sigaction(SIGCHLD, &saved, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN);  // the caller's setting is put back
  EXPECT_EQ(failed.ending, Ending::Exited);
  EXPECT_EQ(failed.status, 1);
  EXPECT_TRUE(passed.exited_with(0));
}

TEST_F(Platform, ReplaceFileCreatesFoldersAndLeavesNoSibling) {
  const auto target = dir() / "var" / "trade" / "risk.json";
  ASSERT_TRUE(replace_file(target, "first").ok());
  EXPECT_EQ(read(target), "first");
  ASSERT_TRUE(replace_file(target, "second, longer").ok());
  EXPECT_EQ(read(target), "second, longer");
  ASSERT_TRUE(replace_file(target, "").ok());
  EXPECT_EQ(read(target), "");
  EXPECT_FALSE(fs::exists(dir() / "var" / "trade" / "risk.json.part"));
  EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()),
            1);
}

// What a run killed while saving left behind goes with the next save of the same file; what
// another file's save or a save under way may still own stays.
TEST_F(Platform, AReplaceRemovesTheStaleSiblingsOfItsFile) {
  const struct {
    std::string name;
    bool old, stays;
  } cases[] = {
      {"risk.0123456789abcdef.json.part", true, false},
      {"risk.json.part", true, false},
      {"risk.fedcba9876543210.json.part", false, true},  // under an hour old
      {"denials.0123456789abcdef.json.part", true, true},
      {"risk.0123456789abcdef.json.part.bak", true, true},
      {"risk.json.lock", true, true},
  };
  const auto two_hours_ago = fs::file_time_type::clock::now() - 2h;
  for (const auto& c : cases) {
    write(dir() / c.name, "x");
    if (c.old) fs::last_write_time(dir() / c.name, two_hours_ago);
  }
  fs::create_directory(dir() / "risk.1111111111111111.json.part");  // not a file: not ours
  fs::last_write_time(dir() / "risk.1111111111111111.json.part", two_hours_ago);
  ASSERT_TRUE(replace_file(dir() / "risk.json", "new").ok());
  for (const auto& c : cases)
    EXPECT_EQ(fs::exists(dir() / c.name), c.stays) << c.name;
  EXPECT_TRUE(fs::is_directory(dir() / "risk.1111111111111111.json.part"));
}

TEST_F(Platform, AFailedReplaceLeavesTheOldFileIntact) {
  const auto target = dir() / "risk.json";
  write(target, "old");
  // The lock cannot be taken when a folder stands in its place.
  fs::create_directory(dir() / "risk.json.lock");
  auto blocked =
      update_file(target, [](const auto&) { return Result<std::string, std::error_code>("new"); });
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error(), std::errc::is_a_directory);
  EXPECT_EQ(read(target), "old");

  // A folder where the parent should be: nothing can be created.
  write(dir() / "plain", "x");
  EXPECT_FALSE(replace_file(dir() / "plain" / "risk.json", "new").ok());
  EXPECT_EQ(read(dir() / "plain"), "x");

  // The target itself a folder: the rename fails and the folder stays.
  fs::create_directory(dir() / "state.json");
  EXPECT_FALSE(replace_file(dir() / "state.json", "new").ok());
  EXPECT_TRUE(fs::is_directory(dir() / "state.json"));
}

TEST_F(Platform, AReadOnlyFolderRefusesTheReplace) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  const auto target = dir() / "risk.json";
  write(target, "old");
  fs::permissions(dir(), fs::perms::owner_read | fs::perms::owner_exec);
  auto r = replace_file(target, "new");
  fs::permissions(dir(), fs::perms::owner_all);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), std::errc::permission_denied);
  EXPECT_EQ(read(target), "old");
}

TEST_F(Platform, ReadsAndAppendsWholeLines) {
  EXPECT_EQ(read_file(dir() / "missing").error(), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(read_file(dir()).ok());  // a folder is not a file
  const auto log = dir() / "a" / "b" / "journal.jsonl";
  ASSERT_TRUE(append_line(log, "one\n").ok());
  ASSERT_TRUE(append_line(log, "two\n").ok());
  EXPECT_EQ(*read_file(log), "one\ntwo\n");
  // A last line left without its line feed is ended first, so the next line stays whole.
  write(log, "one\ntw");
  ASSERT_TRUE(append_line(log, "three\n").ok());
  EXPECT_EQ(*read_file(log), "one\ntw\nthree\n");
  write(log, "");
  ASSERT_TRUE(append_line(log, "four\n").ok());
  EXPECT_EQ(*read_file(log), "four\n");
}

TEST_F(Platform, NothingIsWrittenThroughASymlinkedSibling) {
  const auto target = dir() / "risk.json";
  const auto victim = dir() / "victim";
  write(victim, "precious");
  fs::create_symlink(victim, dir() / "risk.json.part");
  ASSERT_TRUE(replace_file(target, "new").ok());
  EXPECT_EQ(read(victim), "precious");
  EXPECT_EQ(read(target), "new");
  // A symlink at the file itself is replaced by the file, not written through.
  fs::remove(target);
  fs::create_symlink(victim, target);
  ASSERT_TRUE(replace_file(target, "newer").ok());
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(read(target), "newer");
  EXPECT_EQ(read(victim), "precious");
}

TEST_F(Platform, CreatedFilesAndFoldersAreTheOwnersAloneWhateverTheUmask) {
  const mode_t saved = ::umask(0);
  const auto state = dir() / "var" / "trade";
  const bool made =
      replace_file(state / "risk.json", "{}").ok() &&
      update_file(state / "denials.json",
                  [](const auto&) { return Result<std::string, std::error_code>("{}"); })
          .ok() &&
      append_line(state / "book" / "journal.jsonl", "x\n").ok() &&
      create_folders(dir() / "config").ok() &&
      AppendFile::open(dir() / "config" / "trade.json").ok();
  ::umask(saved);
  ASSERT_TRUE(made);
  for (const auto& entry : fs::recursive_directory_iterator(dir())) {
    const auto mode = entry.status().permissions() & fs::perms::all;
    EXPECT_EQ(mode, entry.is_directory() ? fs::perms::owner_all
                                         : fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }
}

}  // namespace
}  // namespace vavev_aziz::platform
