// The broker's account, position and clock records: the strict readers, the conversions, and
// the three requests against the fake broker.
#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "vavev_aziz/alpaca.hpp"

namespace vavev_aziz::alpaca {
namespace {

using tovra::testing::BrokerSandbox;
using tovra::testing::Reply;

TEST(Records, AccountWithOnlyAStatus) {
  auto a = read_account(R"({"status":"ACTIVE"})");
  ASSERT_TRUE(a) << a.error();
  EXPECT_EQ(a->account_number, "");
  EXPECT_EQ(a->equity, "");
  EXPECT_FALSE(a->shorting_enabled || a->trading_blocked || a->account_blocked ||
               a->pattern_day_trader);
  EXPECT_FALSE(a->options_trading_level);
  EXPECT_FALSE(a->daytrade_count);
  EXPECT_EQ(a->equity_f64(), 0.0);
}

TEST(Records, AccountFieldsAndSkippedKeys) {
  auto a = read_account(
      "{\"id\":\"x\",\"currency\":\"USD\",\"status\":\"ACTIVE\",\"account_number\":\"PA1\","
      "\"equity\":\"1234.5\",\"cash\":\"1\",\"buying_power\":\"2\",\"options_buying_power\":\"3\","
      "\"options_trading_level\":255,\"shorting_enabled\":true,\"trading_blocked\":false,"
      "\"account_blocked\":false,\"pattern_day_trader\":true,\"daytrade_count\":4294967295,"
      "\"nested\":{\"status\":[1,{\"a\":null}]}} \t\r\n");
  ASSERT_TRUE(a) << a.error();
  EXPECT_EQ(a->account_number, "PA1");
  EXPECT_EQ(a->equity_f64(), 1234.5);
  EXPECT_EQ(a->options_trading_level, 255);
  EXPECT_EQ(a->daytrade_count, 4294967295u);
  EXPECT_TRUE(a->shorting_enabled);
  EXPECT_TRUE(a->pattern_day_trader);

  auto nulls = read_account(R"({"status":"X","options_trading_level":null,"daytrade_count":null})");
  ASSERT_TRUE(nulls) << nulls.error();
  EXPECT_FALSE(nulls->options_trading_level);
  EXPECT_FALSE(nulls->daytrade_count);
}

TEST(Records, AccountBodiesRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"equity":"1"})", "missing field `status` at line 1 column 14"},
      {R"({"status":"A","status":"B"})", "duplicate field `status`"},
      {R"({"status":"A","cash":null})", "invalid type: null, expected a string"},
      {R"({"status":"A","trading_blocked":null})", "expected a boolean"},
      {R"({"status":"A","options_trading_level":"3"})", "expected u8"},
      {R"({"status":"A","options_trading_level":2.5})", "expected u8"},
      {R"({"status":"A","options_trading_level":256})", "integer `256`, expected u8"},
      {R"({"status":"A","daytrade_count":-1})", "integer `-1`, expected u32"},
      {R"({"status":"A","daytrade_count":4294967296})", "expected u32"},
      {R"({"status":"A"} x)", "trailing characters"},
      {R"({"status":"A"}{})", "trailing characters"},
      {"[]", "expected struct Account"},
      {"", "line 1 column 0"},
      {R"({"status":"A")", "line 1 column 13"},
  };
  for (const auto& [body, message] : cases) {
    auto a = read_account(body);
    ASSERT_FALSE(a) << body;
    EXPECT_NE(a.error().find(message), std::string::npos) << body << " -> " << a.error();
  }
}

TEST(Records, Positions) {
  auto empty = read_positions(" [ ]\n");
  ASSERT_TRUE(empty) << empty.error();
  EXPECT_TRUE(empty->empty());

  auto two = read_positions(
      R"([{"symbol":"AAPL","asset_class":"us_equity","qty":"-5","market_value":"-900",)"
      R"("unrealized_pl":"12.5","side":"short"},{"symbol":"SPY250117C00500000"}])");
  ASSERT_TRUE(two) << two.error();
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[0].qty_f64(), -5);
  EXPECT_EQ((*two)[0].unrealized_pl, "12.5");
  EXPECT_EQ((*two)[1].symbol, "SPY250117C00500000");
  EXPECT_EQ((*two)[1].qty_f64(), 0);

  const std::pair<const char*, const char*> refused[] = {
      {R"([{"symbol":"A"},{"qty":"1"}])", "missing field `symbol`"},
      {R"({"symbol":"A"})", "invalid type: map, expected a sequence"},
      {R"([{"symbol":"A","qty":1}])", "invalid type: integer `1`, expected a string"},
      {"[null]", "invalid type: null, expected struct Position"},
  };
  for (const auto& [body, message] : refused) {
    auto r = read_positions(body);
    ASSERT_FALSE(r) << body;
    EXPECT_NE(r.error().find(message), std::string::npos) << r.error();
  }
}

TEST(Records, WhatAPositionLeavesToClose) {
  auto read = read_positions(R"([{"symbol":"A","qty":"-10","qty_available":"-4"},)"
                             R"({"symbol":"B","qty":"10","qty_available":null}])");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ((*read)[0].closable_f64(), -4);
  EXPECT_EQ((*read)[1].closable_f64(), 10);
  // What open orders hold back never turns the position's side nor grows it; a text that does
  // not read leaves the whole quantity.
  const std::tuple<const char*, const char*, double> cases[] = {
      {"10", "15", 10}, {"-10", "10", -10}, {"10", "abc", 10}, {"10", "nan", 10}, {"abc", "5", 0},
  };
  for (const auto& [qty, available, closable] : cases) {
    Position p{"A", "", qty, "", "", available};
    EXPECT_EQ(p.closable_f64(), closable) << qty << ' ' << available;
  }
}

TEST(Records, Clock) {
  auto closed = read_clock("{}");
  ASSERT_TRUE(closed) << closed.error();
  EXPECT_FALSE(closed->is_open);
  EXPECT_EQ(closed->timestamp + closed->next_open + closed->next_close, "");
  auto bad = read_clock(R"({"is_open":"true"})");
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().find("expected a boolean"), std::string::npos);
  EXPECT_FALSE(read_clock("null"));
}

TEST(Records, NumbersFromBrokerText) {
  const std::pair<const char*, double> cases[] = {
      {"123.45", 123.45}, {"1e3", 1000}, {"-2.5", -2.5}, {"+7", 7},  {".5", 0.5}, {"", 0},
      {" 1", 0},          {"1 ", 0},     {"1,000", 0},   {"abc", 0},
  };
  for (const auto& [text, value] : cases) {
    Account a;
    a.equity = text;
    Position p;
    p.qty = text;
    EXPECT_EQ(a.equity_f64(), value) << text;
    EXPECT_EQ(p.qty_f64(), value) << text;
  }
}

TEST(Records, CanTrade) {
  Account a;
  a.status = "ACTIVE";
  EXPECT_EQ(a.can_trade(), std::nullopt);
  a.status = "active";
  EXPECT_EQ(a.can_trade(), "account status is active, not ACTIVE");
  a.status = "ACTIVE ";
  EXPECT_EQ(a.can_trade(), "account status is ACTIVE , not ACTIVE");
  a.trading_blocked = true;
  EXPECT_EQ(a.can_trade(), "trading is BLOCKED on this account");
  a.account_blocked = true;
  EXPECT_EQ(a.can_trade(), "account is BLOCKED");
}

class RecordRequests : public BrokerSandbox {};

TEST_F(RecordRequests, EachReadsItsOwnPath) {
  auto c = client();
  auto account = c.account();
  ASSERT_TRUE(account) << account.error().display();
  EXPECT_EQ(account->equity_f64(), 100000);
  EXPECT_EQ(account->options_trading_level, 3);
  broker.set_positions({{{"symbol", "AAPL"}, {"qty", "10"}, {"asset_class", "us_equity"}}});
  auto positions = c.positions();
  ASSERT_TRUE(positions) << positions.error().display();
  ASSERT_EQ(positions->size(), 1u);
  EXPECT_EQ(positions->front().qty_f64(), 10);
  auto clock = c.clock();
  ASSERT_TRUE(clock) << clock.error().display();
  EXPECT_TRUE(clock->is_open);

  std::vector<std::string> targets;
  for (const auto& r : broker.requests())
    targets.push_back(r.method + " " + r.target);
  EXPECT_EQ(targets,
            (std::vector<std::string>{"GET /v2/account", "GET /v2/positions", "GET /v2/clock"}));
}

TEST_F(RecordRequests, BodiesThatDoNotReadAreDecodeErrors) {
  auto c = client();
  broker.reply("GET", "/v2/account", Reply(200, "<html>maintenance</html>"));
  auto a = c.account();
  ASSERT_TRUE(a.error().as_decode()) << a.error().display();
  broker.reply("GET", "/v2/positions", Reply(200, R"({"symbol":"AAPL"})"));
  auto p = c.positions();
  ASSERT_TRUE(p.error().as_decode());
  EXPECT_NE(p.error().display().find("alpaca response was not the shape we expected: "),
            std::string::npos);
  broker.reply("GET", "/v2/clock", Reply(401, R"({"code":40110000,"message":"unauthorized."})"));
  EXPECT_EQ(c.clock().error().display(),
            R"(alpaca 401: {"code":40110000,"message":"unauthorized."})");
}

}  // namespace
}  // namespace vavev_aziz::alpaca
