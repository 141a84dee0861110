// The diary command: entries filed and read back, the read counts, the option check in both
// modes and the failures that print the diary usage.
#include <regex>

#include "harness.hpp"

namespace trade::testing {
namespace {

class Diary : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    set("ALPACA_ACCOUNT", "default");
  }
  fs::path diary() const { return state("diary.md"); }
  Ran diary_cmd(const Args& args) {
    Args line{"diary"};
    line.insert(line.end(), args.begin(), args.end());
    return run(line);
  }
};

const char* const kUsage =
    "tovra trade diary \"<what you saw, what you concluded, and why>\"\n"
    "  tovra trade diary --read [N]   the last N entries (default 5)\n";

const std::string kStamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}Z)";

TEST_F(Diary, FiledEntriesReadBack) {
  auto first = diary_cmd({"saw", "the", "spread", "widen", "--tag", "review"});
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.err, "");
  std::smatch stamp;
  const std::string filed = first.out;
  ASSERT_TRUE(std::regex_match(
      filed, stamp, std::regex("filed \u2192 " + diary().string() + " \\((" + kStamp + ")\\)\n")))
      << filed;

  EXPECT_EQ(diary_cmd({"  held  off  ", "--tag"}).code, 0);
  const std::string entry = "\n## " + kStamp + " \u00b7 ";
  EXPECT_TRUE(std::regex_match(
      slurp(diary()),
      std::regex(entry + "review\n\nsaw the spread widen\n" + entry + "turn\n\nheld  off\n")))
      << slurp(diary());
  EXPECT_EQ(slurp(diary()).substr(4, stamp[1].length()), stamp[1].str());

  auto read = diary_cmd({"--read"});
  EXPECT_EQ(read.code, 0);
  EXPECT_TRUE(
      std::regex_match(read.out, std::regex(diary().string() + "\n\n## " + kStamp +
                                            " \u00b7 review\n\nsaw the spread widen\n\n## " +
                                            kStamp + " \u00b7 turn\n\nheld  off\n\n")))
      << read.out;
}

TEST_F(Diary, ReadCountsPickTheLastEntries) {
  const std::string path = diary().string();
  auto none = diary_cmd({});
  EXPECT_EQ(none.code, 0);
  EXPECT_EQ(none.out, "no diary yet (" + path + ")\n");
  write_text(diary(), " \n\t\n");
  EXPECT_EQ(diary_cmd({"read"}).out, "no diary yet (" + path + ")\n");

  // A hand-written file: a "###" heading first, an empty entry, then five more.
  std::string text = "### hand  \nwritten\n\n## \n";
  for (char c = '1'; c <= '5'; ++c)
    text += std::string("\n## e") + c + "\n\nbody " + c + "\n";
  write_text(diary(), text);
  const auto entry = [](char c) { return std::string("## e") + c + "\n\nbody " + c + "\n\n"; };
  const std::string hand = "## hand  \nwritten\n\n";
  struct Case {
    Args args;
    std::string shown;
  };
  const Case cases[] = {
      {{}, entry('5')},
      {{"read", "0"}, entry('5')},
      {{"read", "+2"}, entry('4') + entry('5')},
      {{"x", "--read", "two"}, entry('1') + entry('2') + entry('3') + entry('4') + entry('5')},
      // The empty entry counts towards N but prints nothing.
      {{"read", "6"}, entry('1') + entry('2') + entry('3') + entry('4') + entry('5')},
      {{"--read", "99"}, hand + entry('1') + entry('2') + entry('3') + entry('4') + entry('5')},
  };
  for (const auto& c : cases) {
    auto r = diary_cmd(c.args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, path + "\n\n" + c.shown) << c.args.size();
  }
  EXPECT_EQ(slurp(diary()), text);
}

TEST_F(Diary, UsageErrorsWriteNothing) {
  for (const Args& args : {Args{"--json"}, Args{"read", "--json"}, Args{"--read", "--x"},
                           Args{"note", "--tag", "--review"}, Args{"--"}}) {
    auto r = diary_cmd(args);
    EXPECT_EQ(r.code, 3) << args[0];
    EXPECT_EQ(r.out, "");
    const auto& unknown = args[0] == "note" ? args[2] : args.back();
    EXPECT_EQ(r.err, "tovra trade: unknown flag " + unknown + "\n" + kUsage);
  }
  for (const Args& args : {Args{"--tag", "review"}, Args{" ", "\t"}}) {
    auto r = diary_cmd(args);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
  }
  EXPECT_FALSE(fs::exists(diary()));
}

TEST_F(Diary, AWriteThatCannotOpenTheFileFails) {
  fs::create_directories(diary());
  auto r = diary_cmd({"note"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tovra trade: diary write FAILED (" + diary().string() + "): Is a directory\n");
}

}  // namespace
}  // namespace trade::testing
