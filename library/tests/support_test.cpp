// The support layer: number texts, text helpers and JSON writing.
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace {

TEST(Numbers, ShortestIsPlainPositional) {
  EXPECT_EQ(numbers::shortest(100), "100");
  EXPECT_EQ(numbers::shortest(2.5), "2.5");
  EXPECT_EQ(numbers::shortest(-3), "-3");
  EXPECT_EQ(numbers::shortest(0.0001), "0.0001");
  EXPECT_EQ(numbers::shortest(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(numbers::shortest(1e21), "1000000000000000000000");
  EXPECT_EQ(numbers::shortest(NAN), "NaN");
  EXPECT_EQ(numbers::shortest(-INFINITY), "-inf");
}

TEST(Numbers, FixedAndDebugForms) {
  EXPECT_EQ(numbers::fixed(1234.5, 2), "1234.50");
  EXPECT_EQ(numbers::fixed(-250, 2, true), "-250.00");
  EXPECT_EQ(numbers::fixed(0, 2, true), "+0.00");
  EXPECT_EQ(numbers::fixed(NAN, 2), "NaN");
  EXPECT_EQ(numbers::fixed(INFINITY, 1, true), "+inf");
  EXPECT_EQ(numbers::debug(2000), "2000.0");
  EXPECT_EQ(numbers::debug(0.1), "0.1");
}

// Every text of a value is laid out from its shortest digits: positional and bare when whole
// (order bodies, notes), positional with ".0" (listings), and in JSON positional below 1e16.
TEST(Numbers, OneValueInEachForm) {
  const auto zeros = [](std::string head, std::size_t n, std::string_view tail = "") {
    return head.append(n, '0').append(tail);
  };
  struct Case {
    double v;
    std::string shortest, debug, json;
  };
  const Case cases[] = {
      {0x1p60, "1152921504606847000", "1152921504606847000.0", "1.152921504606847e+18"},
      {1.5e300, zeros("15", 299), zeros("15", 299, ".0"), "1.5e+300"},
      {0x1p53 + 2, "9007199254740994", "9007199254740994.0", "9007199254740994.0"},
      {1e15, "1000000000000000", "1000000000000000.0", "1000000000000000.0"},
      {1e16, "10000000000000000", "10000000000000000.0", "1e+16"},
      {1e21, zeros("1", 21), zeros("1", 21, ".0"), "1e+21"},
      {0.1, "0.1", "0.1", "0.1"},
      {5e-324, zeros("0.", 323, "5"), zeros("0.", 323, "5"), "5e-324"},
      {-0.0, "-0", "-0.0", "-0.0"},
      {-2000, "-2000", "-2000.0", "-2000.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(numbers::shortest(c.v), c.shortest);
    EXPECT_EQ(numbers::debug(c.v), c.debug);
    EXPECT_EQ(json::compact(json::Json(c.v)), c.json);
  }
  std::mt19937_64 bits(11);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(bits());
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(numbers::parse_decimal(numbers::shortest(v)), v) << numbers::shortest(v);
    ASSERT_EQ(numbers::parse_decimal(numbers::debug(v)), v) << numbers::debug(v);
  }
}

TEST(Numbers, DecimalGrammar) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"2", 2},   {"-1.5", -1.5}, {".5", 0.5},         {"5.", 5},     {"1e3", 1000},
      {"+7", 7},  {"1E-2", 0.01}, {"1e400", INFINITY}, {"", {}},      {" 1", {}},
      {"1 ", {}}, {"1,000", {}},  {"$5", {}},          {"0x10", {}},  {".", {}},
      {"e5", {}}, {"1e", {}},     {"--1", {}},         {"1.2.3", {}}, {"+", {}},
  };
  for (const auto& c : cases) {
    auto got = numbers::parse_decimal(c.text);
    EXPECT_EQ(got.has_value(), c.value.has_value()) << c.text;
    if (got && c.value) {
      EXPECT_EQ(*got, *c.value) << c.text;
    }
  }
  EXPECT_TRUE(std::isinf(*numbers::parse_decimal("Infinity")));
  EXPECT_TRUE(std::isinf(*numbers::parse_decimal("-INF")));
  EXPECT_TRUE(std::isnan(*numbers::parse_decimal("nan")));
}

// What the underlying reader would take beyond the grammar: its own nan and inf spellings and
// a second sign. Out of range saturates.
TEST(Numbers, DecimalGrammarEdges) {
  for (const char* bad : {"nan(1)", "+-1", "-+1", "--inf", "infinit", "+ 1", "1e+", "0x1p3"})
    EXPECT_FALSE(numbers::parse_decimal(bad)) << bad;
  EXPECT_EQ(numbers::parse_decimal("-.5"), -0.5);
  EXPECT_EQ(numbers::parse_decimal("1e-400"), 0.0);
  EXPECT_EQ(numbers::parse_decimal("-1e400"), -INFINITY);
  EXPECT_EQ(numbers::parse_decimal("0.1000000000000000055511151231257827"), 0.1);
}

TEST(Numbers, WholeNumbers) {
  EXPECT_EQ(numbers::parse_whole("+7"), 7u);
  EXPECT_EQ(numbers::parse_whole("18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(numbers::parse_whole("18446744073709551616"));
  for (const char* bad : {"-7", "7.5", " 7", "", "+"})
    EXPECT_FALSE(numbers::parse_whole(bad));
  EXPECT_EQ(numbers::parse_whole_u32("4294967295"), 4294967295u);
  EXPECT_FALSE(numbers::parse_whole_u32("4294967296"));
}

TEST(Text, CaseAndTrim) {
  EXPECT_TRUE(text::equal_ignoring_ascii_case("spy", "SPY"));
  EXPECT_FALSE(text::equal_ignoring_ascii_case("SPY ", "SPY"));
  EXPECT_EQ(text::trim("\u00a0 key\t\n"), "key");
  EXPECT_EQ(text::trim("\u3000\u2003"), "");
  EXPECT_TRUE(text::is_blank(" \r\n"));
  EXPECT_EQ(text::trim("a\xff "), "a\xff");
}

// Every length, with the one differing byte at every place.
TEST(Text, SameBytesAtEveryLengthAndPlace) {
  const std::string base = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  for (std::size_t n = 0; n <= base.size(); ++n) {
    const std::string a = base.substr(0, n);
    EXPECT_TRUE(text::same_bytes(a, std::string(a))) << n;
    EXPECT_FALSE(text::same_bytes(a, a + "a")) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = '_';
      EXPECT_FALSE(text::same_bytes(a, b)) << n << " " << i;
    }
  }
}

TEST(Text, Utf8RepairAndCuts) {
  EXPECT_TRUE(text::valid_utf8("caf\u00e9"));
  EXPECT_FALSE(text::valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_EQ(text::lossy_utf8("a\xff"
                             "b"),
            "a\ufffd"
            "b");
  // Each broken sequence, up to where it stops being a valid start, is one replacement.
  const std::pair<std::string_view, std::string_view> broken[] = {
      {"\xe2\x82", "\ufffd"},
      {"\xe2\x82x", "\ufffdx"},
      {"\xf0\x9f\x98\xf0\x9f\x98\x80", "\ufffd\U0001F600"},
      {"\xe0\x80\x80", "\ufffd\ufffd\ufffd"},            // overlong
      {"\xed\xa0\x80", "\ufffd\ufffd\ufffd"},            // surrogate
      {"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"},  // past U+10FFFF
      {"\xc0\xaf\x80", "\ufffd\ufffd\ufffd"},
  };
  for (const auto& [in, out] : broken)
    EXPECT_EQ(text::lossy_utf8(in), out) << text::debug_quoted(in);
  EXPECT_EQ(text::first_chars("\u00e9\u00e9\u00e9", 2), "\u00e9\u00e9");
  EXPECT_EQ(text::first_chars("\xe2\x82x\u00e9", 3), "\xe2\x82x");
  EXPECT_EQ(text::first_bytes("ab\u00e9", 3), "ab");  // never half a character
  EXPECT_EQ(text::first_bytes("abc", 8), "abc");
  EXPECT_EQ(text::debug_quoted("a\"b\\\n"), "\"a\\\"b\\\\\\n\"");
}

TEST(Text, EveryScalarValueSurvivesEncodeAndDecode) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string s;
    text::append_utf8(s, c);
    const auto d = text::decode_utf8(s, 0);
    ASSERT_TRUE(d.character && *d.character == c && d.length == s.size())
        << std::hex << static_cast<std::uint32_t>(c);
  }
  std::string replaced;
  text::append_utf8(replaced, 0xD800);
  text::append_utf8(replaced, 0x110000);
  EXPECT_EQ(replaced, "\ufffd\ufffd");
}

TEST(JsonWrite, Forms) {
  json::Json v = json::Json::object();
  v["whole"] = 2000.0;
  v["neg_zero"] = -0.0;
  v["nan"] = NAN;
  v["text"] = "caf\xff";
  v["empty"] = json::Json::array();
  EXPECT_EQ(
      json::compact(v),
      "{\"whole\":2000.0,\"neg_zero\":-0.0,\"nan\":null,\"text\":\"caf\ufffd\",\"empty\":[]}");
  EXPECT_EQ(json::pretty(json::Json{{"a", 1}}), "{\n  \"a\": 1\n}");
  EXPECT_EQ(json::compact(json::Json("tab\there\x01/")), "\"tab\\there\\u0001/\"");
}

TEST(JsonWrite, ShortestNumbers) {
  const std::pair<double, const char*> cases[] = {
      {1e23, "1e+23"},                           // not 9.999999999999999e+22
      {1765535847.522946, "1765535847.522946"},  // a clock reading, not ...5229459
      {-2.5, "-2.5"},
      {100000000000000.0, "100000000000000.0"},
      {123456789012345.6, "123456789012345.6"},
      {1e15, "1000000000000000.0"},
      {0.0001, "0.0001"},
      {1e-5, "1e-05"},
      {-1.25e-7, "-1.25e-07"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& [v, text] : cases)
    EXPECT_EQ(json::compact(json::Json(v)), text);
  // Integers, and numbers inside texts, are left as they are.
  EXPECT_EQ(
      json::pretty(json::Json{{"n", -12}, {"s", "1e23 \"2.50\\"}, {"a", {1e23, 7}}}),
      "{\n  \"n\": -12,\n  \"s\": \"1e23 \\\"2.50\\\\\",\n  \"a\": [\n    1e+23,\n    7\n  ]\n}");
  // Any double of any magnitude reads back as itself.
  std::mt19937_64 bits(7);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(bits());
    if (!std::isfinite(v)) continue;
    const std::string text = json::compact(json::Json(v));
    ASSERT_EQ(json::Json::parse(text).get<double>(), v) << text;
  }
}

}  // namespace
}  // namespace vavev_aziz
