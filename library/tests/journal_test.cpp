// The journal file: the exact lines the writer produces, which lines the reader accepts and
// skips, damage that must not cost more than the damaged line, and the fold into trades.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "reference_journal_reader.hpp"
#include "scratch.hpp"
#include "vavev_aziz/journal.hpp"

namespace vavev_aziz {
namespace {

namespace fs = std::filesystem;

class JournalFile : public tovra::testing::Scratch {
 protected:
  fs::path path() const { return scratch.path() / "state" / "paper" / "journal.jsonl"; }
  Journal journal() const { return Journal(path()); }

  void write(std::string_view content) const {
    fs::create_directories(path().parent_path());
    std::ofstream(path(), std::ios::binary) << content;
  }
  std::string content() const {
    std::ifstream in(path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The lines the writer gives for these events: the reference form of what was read.
  std::string written(const std::vector<Event>& events) const {
    const Journal other(scratch.path() / "other.jsonl");
    fs::remove(other.path());
    for (const auto& e : events)
      EXPECT_TRUE(other.append(e));
    std::ifstream in(other.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

OpenEntry open_entry(std::string id) {
  OpenEntry o;
  o.id = std::move(id);
  o.at = 1714000000.5;
  o.symbol = "SPY250117P00450000";
  o.structure = "put_credit_spread";
  o.thesis = "rich skew";
  o.iv_rank = 0.62;
  o.max_loss = 500;
  o.dte = 30;
  o.gate_rule = "options-ask-briefly";
  o.approved_by = "operator";
  o.by = "loop";
  return o;
}

CloseEntry close_entry(std::string id, double pnl) {
  return CloseEntry{std::move(id), 1714100000, pnl, "profit", std::nullopt, ""};
}

FillEntry fill_entry(std::string id, double filled, double intended) {
  return FillEntry{std::move(id), 1714000100, "filled", filled, intended, 1.25, std::nullopt, ""};
}

constexpr std::string_view kOpenLine =
    R"({"event":"open","id":"a","at":1,"symbol":"SPY","structure":"s","thesis":"t",)"
    R"("gate_rule":"g","approved_by":"rule"})";

TEST_F(JournalFile, AppendWritesOneExactLinePerEvent) {
  OpenEntry open = open_entry("tovra-1");
  open.thesis = "quote \" backslash \\ \b\t\n\f\r \x01\x1f / \x7f caf\xC3\xA9 \xE2\x80\x94 end";
  open.iv = std::numeric_limits<double>::quiet_NaN();
  open.qty = 2;
  open.exit = true;
  open.closes = "tovra-0";
  HaltEntry halt{1714000000, "drawdown", "drawdown 12%",
                 88000,      100000,     std::numeric_limits<double>::infinity()};
  RefusedEntry refused{"tovra-2", 1714000001, "cli", "AAPL", "no thesis", "denied", "gate"};
  refused.denied_fingerprint = "AAPL|equity|buy|open|b7";  // the owner's no
  refused.denied_until = 1714014401;
  ASSERT_TRUE(journal().append({open}));
  ASSERT_TRUE(journal().append({close_entry("tovra-1", -120)}));
  ASSERT_TRUE(journal().append({refused}));
  ASSERT_TRUE(journal().append({fill_entry("tovra-1", 2, 2)}));
  ASSERT_TRUE(journal().append({halt}));
  EXPECT_EQ(content(),
            R"({"event":"open","id":"tovra-1","at":1714000000.5,"symbol":"SPY250117P00450000",)"
            R"("structure":"put_credit_spread","thesis":"quote \" backslash \\ \b\t\n\f\r )"
            R"(\u0001\u001f / )"
            "\x7f caf\xC3\xA9 \xE2\x80\x94 end"
            R"(","iv_rank":0.62,"iv":null,"underlying_price":null,"qty":2.0,"short_delta":null,)"
            R"("credit":null,"max_loss":500.0,"dte":30,"gate_rule":"options-ask-briefly",)"
            R"("approved_by":"operator","by":"loop","exit":true,"closes":"tovra-0"})"
            "\n"
            R"({"event":"close","id":"tovra-1","at":1714100000.0,"realized_pnl":-120.0,)"
            R"("outcome":"profit","underlying_price":null,"note":""})"
            "\n"
            R"({"event":"refused","id":"tovra-2","at":1714000001.0,"by":"cli","symbol":"AAPL",)"
            R"("thesis":"no thesis","verdict":"denied","gate_rule":"gate",)"
            R"("denied_fingerprint":"AAPL|equity|buy|open|b7","denied_until":1714014401.0})"
            "\n"
            R"({"event":"fill","id":"tovra-1","at":1714000100.0,"status":"filled",)"
            R"("filled_qty":2.0,"intended_qty":2.0,"avg_price":1.25,"actual_credit":null,)"
            R"("note":""})"
            "\n"
            R"({"event":"halted","at":1714000000.0,"kind":"drawdown","reason":"drawdown 12%",)"
            R"("equity":88000.0,"high_water":100000.0,"iv_rank":null})"
            "\n");

  // Everything written reads back as written.
  const auto events = journal().events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].open()->thesis, open.thesis);
  EXPECT_EQ(events[0].open()->closes, "tovra-0");
  EXPECT_FALSE(events[0].open()->iv);
  EXPECT_FALSE(events[4].halted()->iv_rank);
  EXPECT_EQ(written(events), content());
}

TEST_F(JournalFile, NotFiniteRequiredNumberLosesOnlyThatLine) {
  ASSERT_TRUE(journal().append({close_entry("a", std::numeric_limits<double>::quiet_NaN())}));
  ASSERT_TRUE(journal().append({close_entry("b", -std::numeric_limits<double>::infinity())}));
  ASSERT_TRUE(journal().append({close_entry("c", 5)}));
  EXPECT_NE(content().find(R"("realized_pnl":null)"), std::string::npos);
  const auto events = journal().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].close()->id, "c");
}

TEST_F(JournalFile, InvalidUtf8TextIsReplacedNotThrown) {
  OpenEntry open = open_entry("a");
  open.thesis = "bad \xff byte";
  ASSERT_TRUE(journal().append({open}));
  const auto events = journal().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].open()->thesis, "bad \xEF\xBF\xBD byte");
}

TEST_F(JournalFile, AppendReportsAFolderItCannotCreate) {
  write("");
  const Journal blocked(path() / "below-a-file" / "journal.jsonl");
  auto done = blocked.append({close_entry("a", 1)});
  ASSERT_FALSE(done);
  EXPECT_TRUE(done.error());
}

TEST_F(JournalFile, MissingFileOrFolderReadsEmpty) {
  EXPECT_TRUE(journal().events().empty());
  EXPECT_TRUE(journal().trades().empty());
  EXPECT_TRUE(journal().open_trades().empty());
  EXPECT_TRUE(journal().exits_awaiting_close().empty());
  fs::create_directories(path());
  EXPECT_TRUE(journal().events().empty());
  EXPECT_TRUE(journal().trades().empty());
}

struct LineCase {
  std::string_view why;
  std::string line;
  std::string_view tag;  // empty: the line is skipped
};

// Each line stands between two good lines, which must be read whatever the middle one holds.
TEST_F(JournalFile, LinesReadOrSkipped) {
  const std::string good = std::string(kOpenLine);
  const std::string deep_ok = R"({"x":)" + std::string(126, '[') + std::string(126, ']') + "," +
                              std::string(kOpenLine.substr(1));
  const std::string deep_bad = R"({"x":)" + std::string(127, '[') + std::string(127, ']') + "," +
                               std::string(kOpenLine.substr(1));
  const std::string close6 = R"(["close","a",1,-5.5,"stopped",null)";
  const std::string open15 =
      R"(["open","a",1,"SPY","s","t",null,null,null,null,null,null,null,null,)";
  const std::vector<LineCase> cases = {
      {"writer's form", good, "open"},
      {"event last, keys shuffled",
       R"({"approved_by":"rule","gate_rule":"g","thesis":"t","structure":"s","symbol":"SPY",)"
       R"("at":1,"id":"a","event":"open"})",
       "open"},
      {"unknown key with nested value, twice",
       R"({"event":"close","x":{"y":[1,{"z":null}]},"id":"a","at":1,"realized_pnl":2,)"
       R"("outcome":"o","x":"again"})",
       "close"},
      {"escaped tag", R"({"event":"\u0063lose","id":"a","at":1,"realized_pnl":2,"outcome":"o"})",
       "close"},
      {"blanks around and a trailing carriage return", "  \t" + std::string(kOpenLine) + " \r",
       "open"},
      {"halted", R"({"event":"halted","at":1,"kind":"k","reason":"r","equity":1,"high_water":2})",
       "halted"},
      {"nesting of 127 levels", deep_ok, "open"},
      {"a byte order mark first", "\xEF\xBB\xBF " + good, "open"},
      {"an exponent of twenty digits",
       R"({"event":"close","id":"a","at":0e99999999999999999999,"realized_pnl":2,"outcome":"o"})",
       "close"},
      {"array close without note", close6 + "]", "close"},
      {"array close with note", close6 + R"(,"n"])", "close"},
      {"array open stopping after approved_by", open15 + R"("g","rule"])", "open"},
      {"array open stopping after by", open15 + R"("g","rule","cli"])", "open"},
      {"array open, full", open15 + R"("g","rule","cli",true,"b"])", "open"},
      {"array fill without note", R"(["fill","a",1,"filled",1,1,null,null])", "fill"},
      {"array refused", R"(["refused","a",1,"cli","SPY","t","denied","g"])", "refused"},
      {"array halted", R"(["halted",1,"k","r",1,2,null])", "halted"},

      {"tag with a capital", R"({"event":"Close","id":"a","at":1,"realized_pnl":2,"outcome":"o"})",
       ""},
      {"tag a number", R"({"event":3,"id":"a","at":1,"realized_pnl":2,"outcome":"o"})", ""},
      {"no tag", R"({"id":"a","at":1,"realized_pnl":2,"outcome":"o"})", ""},
      {"tag twice",
       R"({"event":"close","event":"close","id":"a","at":1,"realized_pnl":2,"outcome":"o"})", ""},
      {"two objects", good + good, ""},
      {"trailing text", good + " x", ""},
      {"NUL after the value", good + std::string("\0 x", 3), ""},
      {"a text in an array followed by a colon",
       R"({"event":"close","id":"a","at":1,"realized_pnl":2,"outcome":"o","x":["{y":[1]}]})", ""},
      {"bare value", R"("open")", ""},
      {"a byte order mark after a blank", " \xEF\xBB\xBF" + good, ""},
      {"two byte order marks", "\xEF\xBB\xBF\xEF\xBB\xBF" + good, ""},
      {"null line", "null", ""},
      {"known key twice",
       R"({"event":"open","symbol":"X","id":"a","at":1,"symbol":"SPY","structure":"s",)"
       R"("thesis":"t","gate_rule":"g","approved_by":"rule"})",
       ""},
      {"required key missing",
       R"({"event":"open","at":1,"symbol":"SPY","structure":"s","thesis":"t","gate_rule":"g",)"
       R"("approved_by":"rule"})",
       ""},
      {"required key null",
       R"({"event":"close","id":"a","at":1,"realized_pnl":null,"outcome":"o"})", ""},
      {"defaulted key null",
       R"({"event":"refused","id":"a","at":1,"by":null,"symbol":"S","thesis":"t",)"
       R"("verdict":"denied","gate_rule":"g"})",
       ""},
      {"number given as text",
       R"({"event":"close","id":"a","at":"1","realized_pnl":2,"outcome":"o"})", ""},
      {"text given as number", R"({"event":"close","id":7,"at":1,"realized_pnl":2,"outcome":"o"})",
       ""},
      {"exit as text", good.substr(0, good.size() - 1) + R"(,"exit":"false"})", ""},
      {"dte with a fraction", good.substr(0, good.size() - 1) + R"(,"dte":30.0})", ""},
      {"dte negative", good.substr(0, good.size() - 1) + R"(,"dte":-1})", ""},
      {"dte minus zero", good.substr(0, good.size() - 1) + R"(,"dte":-0})", ""},
      {"dte beyond 32 bits", good.substr(0, good.size() - 1) + R"(,"dte":4294967296})", ""},
      {"nesting of 128 levels", deep_bad, ""},
      {"array close too short", R"(["close","a",1,-5.5,"stopped"])", ""},
      {"array close too long", close6 + R"(,"n",1])", ""},
      {"array open stopping inside the optional keys", R"(["open","a",1,"SPY","s","t",null,null])",
       ""},
      {"array refused without by", R"(["refused","a",1,"SPY","t","denied","g"])", ""},
      {"array halted without iv_rank", R"(["halted",1,"k","r",1,2])", ""},
      {"array with null for a defaulted key", open15 + R"("g","rule",null])", ""},
      {"empty array", "[]", ""},
      {"array of an unknown tag", R"(["opened","a"])", ""},
      {"invalid UTF-8 inside a text",
       "{\"event\":\"close\",\"id\":\"a\xff\",\"at\":1,\"realized_pnl\":2,\"outcome\":\"o\"}", ""},
      {"invalid UTF-8 in an unknown key",
       "{\"event\":\"close\",\"id\":\"a\",\"at\":1,\"realized_pnl\":2,\"outcome\":\"o\",\"\xc3\":"
       "1}",
       ""},
      {"number out of range",
       R"({"event":"close","id":"a","at":1e400,"realized_pnl":2,"outcome":"o"})", ""},
  };
  for (const auto& c : cases) {
    const std::string bytes = good + "\n" + c.line + "\n" + good + "\n";
    write(bytes);
    EXPECT_EQ(journal_format::first_disagreement(bytes), std::nullopt) << c.why;
    const auto events = journal().events();
    const std::size_t expected = c.tag.empty() ? 2 : 3;
    ASSERT_EQ(events.size(), expected) << c.why;
    if (!c.tag.empty()) {
      EXPECT_EQ(events[1].tag(), c.tag) << c.why;
    }
  }
}

// Lines laid out as the writer writes them are read by a faster path: it must judge every
// value as any other line's, and hand what it cannot settle to the general reader.
TEST_F(JournalFile, LinesInTheWritersLayoutReadAsAnyOther) {
  ASSERT_TRUE(journal().append({open_entry("a")}));
  const std::string line = content().substr(0, content().size() - 1);
  const auto with = [&line](std::string_view from, std::string_view to) {
    std::string changed = line;
    const auto at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return changed.replace(at, from.size(), to);
  };
  const std::string deep = R"("closes":null,"x":)" + std::string(100, '[') + std::string(100, ']');
  const std::vector<std::pair<std::string, bool>> cases = {
      // the line, and whether it reads
      {with(R"("dte":30)", R"("dte":0)"), true},
      {with(R"("dte":30)", R"("dte":-0)"), false},
      {with(R"("iv_rank":0.62)", R"("iv_rank":-0)"), true},
      {with(R"("qty":null)", R"("qty":18446744073709551615)"), true},
      {with(R"("max_loss":500.0)", R"("max_loss":0e99999999999999999999)"), true},
      {with(R"("max_loss":500.0)", R"("max_loss":"500")"), false},
      {with(R"("exit":false)", R"("exit":null)"), false},
      {with(R"("closes":null)", R"("closes":null,"x":[1,{"y":null}])"), true},
      {with(R"("closes":null)", R"("closes":null,"id":"b")"), false},
      {with(R"("closes":null)", deep), true},
      {with("rich skew", std::string(70000, 'x')), true},
      {with("rich skew", std::string(70000, 'x') + "\\q"), false},
  };
  for (const auto& [text, readable] : cases) {
    write(text + "\n");
    EXPECT_EQ(journal_format::first_disagreement(text), std::nullopt) << text;
    EXPECT_EQ(journal().trades().size(), readable ? 1u : 0u) << text;
  }
  write(cases[0].first + "\n" + cases[2].first + "\n" + cases[3].first + "\n" + cases[4].first +
        "\n");
  const auto e = journal().events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].open()->dte, 0u);
  EXPECT_TRUE(std::signbit(*e[1].open()->iv_rank));
  EXPECT_EQ(e[2].open()->qty, 18446744073709551615.0);
  EXPECT_EQ(e[3].open()->max_loss, 0.0);
}

TEST_F(JournalFile, ValuesAndDefaultsAsRead) {
  write(
      std::string(kOpenLine) + "\n" +
      R"({"event":"open","id":"b","at":2,"symbol":"S","structure":"s","thesis":"t",)"
      R"("gate_rule":"g","approved_by":"rule","dte":4294967295,"qty":null,"iv_rank":-0})"
      "\n"
      R"(["close","a",1,-5.5,"stopped",null])"
      "\n"
      R"(["close","a",1,-5.5,"stopped",7,"kept"])"
      "\n"
      R"({"event":"refused","id":"r","at":3,"symbol":"S","thesis":"t","verdict":"v","gate_rule":"g"})"
      "\n"
      R"(["open","c",1,"SPY","s","t",null,null,null,null,null,null,null,null,"g","rule"])"
      "\n");
  const auto e = journal().events();
  ASSERT_EQ(e.size(), 6u);
  const OpenEntry& a = *e[0].open();
  EXPECT_EQ(a.at, 1.0);
  EXPECT_EQ(a.by, "unknown");
  EXPECT_FALSE(a.exit);
  EXPECT_FALSE(a.closes);
  EXPECT_FALSE(a.qty);
  EXPECT_FALSE(a.dte);
  EXPECT_EQ(e[1].open()->dte, 4294967295u);
  ASSERT_TRUE(e[1].open()->iv_rank);
  EXPECT_TRUE(std::signbit(*e[1].open()->iv_rank));
  EXPECT_EQ(e[2].close()->note, "");
  EXPECT_FALSE(e[2].close()->underlying_price);
  EXPECT_EQ(e[3].close()->underlying_price, 7.0);
  EXPECT_EQ(e[3].close()->note, "kept");
  EXPECT_EQ(e[4].refused()->by, proposer_unknown());
  EXPECT_EQ(e[5].open()->by, "unknown");
  EXPECT_FALSE(e[5].open()->exit);
}

TEST_F(JournalFile, LineEndingsBlankLinesAndALastLineWithoutFeed) {
  const std::string line(kOpenLine);
  write("\n   \n\t\r\n" + line + "\r\n\xE3\x80\x80\xC2\xA0\n\r\n" + line + "\n" + line + "\r");
  EXPECT_EQ(journal().events().size(), 3u);
  write(line + "\r" + line + "\n");  // a lone carriage return is no line break
  EXPECT_EQ(journal().events().size(), 0u);
}

// One damaged byte costs its own line and nothing else, wherever it stands.
TEST_F(JournalFile, InvalidUtf8CostsOnlyItsLine) {
  const std::string line(kOpenLine);
  write(line + "\n\xff\n" + line + "\n" + line.substr(0, 20) + "\xc3\x28" + line.substr(20) + "\n" +
        line + "\n\xed\xa0\x80\n");
  EXPECT_EQ(journal().events().size(), 3u);
  EXPECT_EQ(journal().trades().size(), 1u);
}

// Cutting the journal anywhere (a crash mid-append) never loses a whole line before the cut.
TEST_F(JournalFile, CutAtEveryByteKeepsEveryWholeLine) {
  OpenEntry open = open_entry("tovra-\xE2\x80\x94");
  open.thesis = "line\nbreak \xE2\x80\x94 caf\xC3\xA9";
  const std::vector<Event> all = {{open},
                                  {fill_entry("tovra-\xE2\x80\x94", 1, 2)},
                                  {RefusedEntry{"r", 2, "cli", "S", "t", "denied", "g"}},
                                  {close_entry("tovra-\xE2\x80\x94", 12.5)},
                                  {HaltEntry{3, "weekly", "r", 1, 2, 0.5}}};
  const std::string full = written(all);
  for (std::size_t cut = 0; cut <= full.size(); ++cut) {
    write(full.substr(0, cut));
    const auto events = journal().events();
    const std::string kept = cut == 0 ? "" : full.substr(0, full.rfind('\n', cut - 1) + 1);
    const auto whole = static_cast<std::size_t>(std::count(kept.begin(), kept.end(), '\n'));
    ASSERT_GE(events.size(), whole) << cut;
    ASSERT_LE(events.size(), whole + 1) << cut;
    EXPECT_EQ(written({events.begin(), events.begin() + static_cast<std::ptrdiff_t>(whole)}), kept)
        << cut;
    // The fold takes whatever is there, and knows how far the lines it read reach.
    const auto trades = journal().trades();
    EXPECT_EQ(trades.read_through(), kept.size()) << cut;
    if (trades.last_halt()) {
      EXPECT_EQ(trades.last_halt()->line_start, full.find(R"({"event":"halted")")) << cut;
    }
  }
}

TEST_F(JournalFile, FoldKeepsFirstOpenAndLatestFillAndClose) {
  OpenEntry first = open_entry("a");
  OpenEntry second = open_entry("a");
  second.symbol = "OTHER";
  second.max_loss = 9;
  second.exit = true;
  for (const Event& e : std::vector<Event>{
           {fill_entry("a", 5, 10)},  // before its open: ignored
           {close_entry("ghost", 1)},
           {first},
           {open_entry("b")},
           {second},
           {fill_entry("a", 3, 10)},
           {fill_entry("a", 10, 10)},
           {close_entry("a", 1)},
           {close_entry("a", 2)},
           {RefusedEntry{"b", 2, "cli", "S", "t", "denied", "g"}},
       })
    ASSERT_TRUE(journal().append(e));
  const auto trades = journal().trades();
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_EQ(trades[0].id(), "a");
  EXPECT_EQ(trades[0].symbol(), "SPY250117P00450000");
  EXPECT_FALSE(trades[0].exit());
  EXPECT_EQ(trades[0].fill()->filled_qty, 10);
  EXPECT_EQ(trades[0].realized_pnl(), 2);
  EXPECT_EQ(trades[1].id(), "b");
  EXPECT_FALSE(trades[1].fill());
  EXPECT_FALSE(trades[1].closed());
}

// Many orders, with tags the writer would not escape, so the fold cannot size itself ahead and
// its index grows while it runs, past a chunk of trades and past its cache of recent texts:
// every close and fill still finds its own trade.
TEST_F(JournalFile, FoldOfManyOrdersFindsEveryTrade) {
  std::string lines;
  const int orders = 5000;
  for (int i = 0; i < orders; ++i) {
    const std::string id = "tovra-" + std::to_string(i);
    lines += R"({"event":"\u006fpen","id":")" + id +
             R"(","at":1,"symbol":"S","structure":"s","thesis":"t","gate_rule":"g",)"
             R"("approved_by":"rule","max_loss":)" +
             std::to_string(i) + "}\n";
    if (i >= 7) {  // an order seven back: its second open, then its close
      const std::string back = "tovra-" + std::to_string(i - 7);
      lines += R"({"event":"\u006fpen","id":")" + back +
               R"(","at":2,"symbol":"DUP","structure":"s","thesis":"t","gate_rule":"g",)"
               R"("approved_by":"rule"})"
               "\n";
      lines += R"({"event":"close","id":")" + back + R"(","at":3,"outcome":"o","realized_pnl":)" +
               std::to_string(i - 7) + "}\n";
    }
  }
  write(lines);
  const auto trades = journal().trades();
  ASSERT_EQ(trades.size(), static_cast<std::size_t>(orders));
  for (int i = 0; i < orders; ++i) {
    const Trade& t = trades[static_cast<std::size_t>(i)];
    ASSERT_EQ(t.id(), "tovra-" + std::to_string(i));
    EXPECT_EQ(t.symbol(), "S");
    EXPECT_EQ(t.max_loss(), i);
    if (i < orders - 7) {
      EXPECT_EQ(t.realized_pnl(), i) << i;
    } else {
      EXPECT_FALSE(t.closed()) << i;
    }
  }
}

// A journal longer than the blocks it is read in: lines cut by a block's end, a line longer
// than a whole block, line feeds with and without carriage returns, no feed after the last.
TEST_F(JournalFile, LinesReadWholeAcrossReadBlocks) {
  std::string lines;
  std::vector<std::size_t> thesis;  // the thesis's size on each line
  const auto add = [&](std::size_t size, std::string_view ending) {
    lines += R"({"event":"open","id":"tovra-)" + std::to_string(thesis.size()) +
             R"(","at":1,"symbol":"S","structure":"s","thesis":")" + std::string(size, 't') +
             R"(","gate_rule":"g","approved_by":"rule"})";
    lines += ending;
    thesis.push_back(size);
  };
  while (lines.size() < (3u << 20)) {
    // Lengths that do not divide a block, so the blocks end at every place in a line.
    add(100 + thesis.size() % 977, thesis.size() % 3 == 0 ? "\r\n" : "\n");
    if (thesis.size() == 2000) add(1500000, "\n");  // longer than a block
  }
  add(10, "");
  write(lines);
  const auto events = journal().events();
  ASSERT_EQ(events.size(), thesis.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    ASSERT_EQ(events[i].open()->id, "tovra-" + std::to_string(i));
    ASSERT_EQ(events[i].open()->thesis.size(), thesis[i]) << i;
  }

  // A line's place counts every byte before it, whichever block it was read in.
  const std::string halt =
      R"({"event":"halted","at":1,"kind":"k","reason":"r","equity":1,"high_water":2})";
  write(lines + "\n" + halt + "\n");
  const auto trades = journal().trades();
  ASSERT_TRUE(trades.last_halt());
  EXPECT_EQ(trades.last_halt()->line_start, lines.size() + 1);
  EXPECT_EQ(trades.read_through(), lines.size() + halt.size() + 2);
  EXPECT_EQ(journal().append_and_locate({HaltEntry{2, "k", "r", 1, 2, {}}}).value(),
            trades.read_through());
}

// A line longer than the journal keeps costs only itself, in the middle or at the end without
// a line feed, and is never held whole; the writer refuses to make one.
TEST_F(JournalFile, ALineTooLongToKeepIsSkipped) {
  constexpr std::size_t kLongest = std::size_t{64} << 20;
  OpenEntry huge = open_entry("huge");
  huge.thesis = std::string(kLongest / 6 + 1, '\x01');  // each written as \u0001
  EXPECT_EQ(journal().append({huge}).error(), std::errc::file_too_large);
  EXPECT_FALSE(fs::exists(path()));

  const std::string line = R"({"event":"open","id":"huge","at":1,"symbol":"S","structure":"s",)"
                           R"("thesis":"t","gate_rule":"g","approved_by":"rule")" +
                           std::string(kLongest, ' ') + "}";
  write(line);
  std::ofstream(path(), std::ios::binary | std::ios::app) << '\n' << kOpenLine << '\n' << line;
  const auto events = journal().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].open()->id, "a");
}

// A fold keeps texts of any size beyond the lines they came from: 255 bytes and more take a
// longer form, and one longer than the fold's blocks gets a block of its own.
TEST_F(JournalFile, FoldKeepsLongTexts) {
  const std::string long_id(300, 'i');
  OpenEntry first = open_entry(long_id);
  first.symbol = std::string(300000, 'S');
  for (const Event& e : std::vector<Event>{{first}, {open_entry("a")}, {close_entry(long_id, 9)}})
    ASSERT_TRUE(journal().append(e));
  const Trades trades = journal().trades();
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_EQ(trades[0].id(), long_id);
  EXPECT_EQ(trades[0].symbol(), first.symbol);
  EXPECT_EQ(trades[0].realized_pnl(), 9);
  EXPECT_EQ(trades[1].id(), "a");
}

TEST_F(JournalFile, OpenTradesAndExitsAwaitingClose) {
  auto exit_of = [](std::string id, std::optional<std::string> closes) {
    OpenEntry e = open_entry(std::move(id));
    e.exit = true;
    e.closes = std::move(closes);
    e.symbol = "X-" + e.id;
    return e;
  };
  for (const Event& e : std::vector<Event>{
           {open_entry("awaiting")},  // open: no fill yet
           {open_entry("partial")},   // open: partly filled
           {fill_entry("partial", 1, 3)},
           {open_entry("rejected")},  // not open: filled with nothing
           {fill_entry("rejected", 0, 3)},
           {open_entry("closed-unfilled")},  // not open: it has a result
           {close_entry("closed-unfilled", 0)},
           {open_entry("target")},
           {fill_entry("target", 1, 1)},
           {exit_of("x-named", "target")},  // listed while target has no close
           {fill_entry("x-named", 1, 1)},
           {exit_of("x-done", "closed-unfilled")},  // target already closed: not listed
           {fill_entry("x-done", 1, 1)},
           {exit_of("x-ghost", "nowhere")},  // target unknown: not listed
           {fill_entry("x-ghost", 1, 1)},
           {exit_of("x-free", std::nullopt)},  // named none: listed, even once closed
           {fill_entry("x-free", 2, 2)},
           {close_entry("x-free", 5)},
           {exit_of("x-unfilled", "target")},  // no fill: not listed
           {exit_of("x-zero", "target")},      // filled with nothing: not listed
           {fill_entry("x-zero", 0, 1)},
       })
    ASSERT_TRUE(journal().append(e));

  const Trades open = journal().open_trades();
  std::vector<std::string> open_ids;
  for (const auto& t : open)
    open_ids.emplace_back(t.id());
  EXPECT_EQ(open_ids, (std::vector<std::string>{"awaiting", "partial", "target"}));
  // The fold cut down to its open trades finds them at their new places, and only them.
  EXPECT_EQ(open.find("target"), &open[2]);
  EXPECT_EQ(open.find("rejected"), nullptr);

  auto gaps = journal().exits_awaiting_close();
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_EQ(gaps[0].exit_id, "x-named");
  EXPECT_EQ(gaps[0].symbol, "X-x-named");
  EXPECT_EQ(gaps[0].closes, "target");
  EXPECT_TRUE(gaps[0].named);
  EXPECT_EQ(gaps[0].at, 1714000000.5);
  EXPECT_EQ(gaps[1].exit_id, "x-free");
  EXPECT_FALSE(gaps[1].closes);
  EXPECT_FALSE(gaps[1].named);

  ASSERT_TRUE(journal().append({close_entry("target", 3)}));
  gaps = journal().exits_awaiting_close();
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].exit_id, "x-free");
}

TEST(EffectiveMaxLoss, ScalesByTheFilledFraction) {
  struct Case {
    std::optional<double> max_loss;
    std::optional<std::pair<double, double>> fill;  // filled, intended
    std::optional<double> expected;
  };
  const Case cases[] = {
      {500, std::nullopt, 500},
      {500, {{3, 10}}, 150},
      {500, {{12, 10}}, 500},
      {500, {{5, 0}}, 0},
      {500, {{5, -1}}, 0},
      {500, {{-2, 10}}, 0},
      {500, {{0, 10}}, 0},
      {std::nullopt, std::nullopt, std::nullopt},
      {std::nullopt, {{3, 10}}, std::nullopt},
      {-100, {{5, 10}}, -50},
  };
  for (const auto& c : cases) {
    OpenEntry open = open_entry("a");
    open.max_loss = c.max_loss;
    Trades t;
    t.add({open});
    if (c.fill) t.add({fill_entry("a", c.fill->first, c.fill->second)});
    EXPECT_EQ(t[0].effective_max_loss(), c.expected);
  }
}

}  // namespace
}  // namespace vavev_aziz
