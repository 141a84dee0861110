// The strict reader layer: positions, duplicates, types, depth and trailing text.
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/risk.hpp"
#include "vavev_aziz/support/json_read.hpp"

namespace vavev_aziz::json {
namespace {

struct Account {
  std::string status;
  std::string equity;
  std::optional<std::uint8_t> level;
  bool blocked = false;
};

Result<Account, Error> read_account(std::string_view text) {
  Reader r(text);
  Account a;
  auto done = read_object(r, "struct Account",
                          {field("status", a.status, Presence::Required), field("equity", a.equity),
                           field("level", a.level), field("blocked", a.blocked)});
  if (!done) return Err{done.error()};
  if (auto end = r.finish(); !end) return Err{end.error()};
  return a;
}

std::string error_of(std::string_view text) {
  auto a = read_account(text);
  return a ? "" : a.error();
}

TEST(JsonRead, RecordWithDefaultsAndUnknownKeys) {
  auto a = read_account(R"({"extra": {"deep": [1, {"x": null}]}, "status": "ACTIVE", "extra": 1})");
  ASSERT_TRUE(a) << a.error();
  EXPECT_EQ(a->status, "ACTIVE");
  EXPECT_EQ(a->equity, "");
  EXPECT_FALSE(a->level);
  auto b = read_account("{\"status\":\"x\",\"level\":null,\"blocked\":true}  \n");
  ASSERT_TRUE(b) << b.error();
  EXPECT_TRUE(b->blocked);
}

TEST(JsonRead, ErrorsNameTheProblemAndWhere) {
  EXPECT_EQ(error_of("{\n  \"equity\": \"1\"\n}"), "missing field `status` at line 3 column 1");
  EXPECT_EQ(error_of(R"({"status":"a","status":"b"})"),
            "duplicate field `status` at line 1 column 22");
  EXPECT_EQ(error_of(R"({"status":null})"),
            "invalid type: null, expected a string at line 1 column 14");
  EXPECT_EQ(error_of(R"({"status":"a","level":256})"),
            "invalid value: integer `256`, expected u8 at line 1 column 25");
  EXPECT_EQ(error_of(R"({"status":"a","level":2.5})"),
            "invalid type: floating point `2.5`, expected u8 at line 1 column 25");
  EXPECT_EQ(error_of(R"({"status":"a","level":"2"})"),
            "invalid type: string \"2\", expected u8 at line 1 column 25");
  EXPECT_EQ(error_of(R"({"status":"a"} x)"), "trailing characters at line 1 column 16");
  EXPECT_EQ(error_of("[]"), "invalid type: sequence, expected struct Account at line 1 column 1");
}

// nlohmann's lexer stops at a NUL byte as if the text ended there; every reader of the
// system's own files must still refuse what follows the value.
TEST(JsonRead, OnlyWhiteSpaceMayFollowTheValueNulIncluded) {
  const auto denials = std::filesystem::path(::testing::TempDir()) / "nul-denials.json";
  const struct {
    const char* reader;
    std::string value;
    std::function<bool(const std::string&)> reads;
  } readers[] = {
      {"rule table", R"([{"name": "x", "posture": "deny"}])",
       [](const std::string& t) { return read_rules(t).ok(); }},
      {"limits", "[0.1, 0.04, 0.02, 0.1, 12]",
       [](const std::string& t) { return read_limits(t).ok(); }},
      {"risk state", R"({"high_water": 1.0})",
       [](const std::string& t) { return read_risk_state(t).ok(); }},
      {"denial memory", R"({"entries": {"A": 5}})",
       [&denials](const std::string& t) {
         std::ofstream(denials, std::ios::binary) << t;
         return !DenialMemory::load(denials).entries.empty();
       }},
      {"any value", "{}", [](const std::string& t) { return parse_value(t).ok(); }},
  };
  const std::string nul(1, '\0');
  for (const auto& r : readers) {
    EXPECT_TRUE(r.reads(r.value + " \r\n\t")) << r.reader;
    for (const std::string& tail : {nul, nul + " junk", " \n" + nul, nul + nul})
      EXPECT_FALSE(r.reads(r.value + tail)) << r.reader << " with " << tail.size() << " bytes";
  }
  EXPECT_EQ(error_of(R"({"status":"a"} )" + nul + "x"), "trailing characters at line 1 column 16");
  std::filesystem::remove(denials);
}

TEST(JsonRead, SyntaxErrorsComeInDocumentOrder) {
  // A type error before a syntax error is the one reported, as a streaming reader would.
  EXPECT_EQ(error_of(R"({"status":1, "x": tru})"),
            "invalid type: integer `1`, expected a string at line 1 column 11");
  auto e = error_of(R"({"status":"a", "x": tru})");
  EXPECT_NE(e.find("syntax error"), std::string::npos) << e;
  EXPECT_NE(e.find(" at line 1 column "), std::string::npos) << e;
  EXPECT_NE(error_of("").find(" at line 1 column 0"), std::string::npos);
  EXPECT_NE(error_of("{\"status\":\"caf\xff\"}").find("at line 1"), std::string::npos);
  EXPECT_EQ(error_of(R"({"status":"a","equity":1e400})"),
            "number out of range at line 1 column 28");
}

TEST(JsonRead, DepthLimit) {
  auto nested = [](int depth) {
    return std::string("{\"status\":\"a\",\"x\":") + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
  };
  EXPECT_EQ(error_of(nested(kDepthLimit - 1)), "");
  EXPECT_NE(error_of(nested(kDepthLimit)).find("recursion limit exceeded"), std::string::npos);
}

TEST(JsonRead, IntegersStayInTheirTypesRange) {
  Reader r(
      "[-9223372036854775808, 9223372036854775807, 9223372036854775808, -1, "
      "18446744073709551615]");
  ASSERT_EQ(r.next().kind, Tok::BeginArray);
  EXPECT_EQ(*r.i64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(*r.i64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(r.i64().error(),
            "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 63");
  ASSERT_TRUE(r.skip());
  EXPECT_EQ(r.u64().error(), "invalid value: integer `-1`, expected u64 at line 1 column 67");
  ASSERT_TRUE(r.skip());
  EXPECT_EQ(*r.u64(), std::numeric_limits<std::uint64_t>::max());
}

TEST(JsonRead, VariantsAndValues) {
  Reader r(R"(["ask", "maybe"])");
  ASSERT_EQ(r.next().kind, Tok::BeginArray);
  EXPECT_EQ(*read_variant(r, {"deny", "ask", "allow"}), 1u);
  EXPECT_EQ(read_variant(r, {"deny", "ask", "allow"}).error(),
            "unknown variant `maybe`, expected one of `deny`, `ask`, `allow` at line 1 column 15");
  Reader two(R"("hold")");
  EXPECT_EQ(read_variant(two, {"buy", "sell"}).error(),
            "unknown variant `hold`, expected `buy` or `sell` at line 1 column 6");

  auto v = parse_value(R"({"b": 1, "a": [true, null, -2, 2.5], "b": 3})");
  ASSERT_TRUE(v) << v.error();
  EXPECT_EQ(compact(*v), R"({"b":3,"a":[true,null,-2,2.5]})");
  EXPECT_FALSE(parse_value("{} {}"));
}

}  // namespace
}  // namespace vavev_aziz::json
