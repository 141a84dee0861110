// A multi-leg option ticket reaches the broker as its legs alone, so its legs say what it is:
// what it can lose, whether a sold leg is covered, its symbol, intent and side. Each test sets
// the agent's way around the gate beside the legitimate form of the same ticket.
#include "harness.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;

const std::string kC500 = "SPY261218C00500000";
const std::string kC501 = "SPY261218C00501000";
const std::string kC510 = "SPY261218C00510000";
const std::string kC610 = "SPY261218C00610000";
const std::string kP490 = "SPY261218P00490000";
const std::string kP390 = "SPY261218P00390000";

class TicketLegs : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    ASSERT_EQ(run({"rules", "--init"}).code, 0);
    // The owner answers with the status in the answer file (0 yes, 1 no); each question is kept.
    answer(0);
    fake_program("imsg", "printf '%s\\n' \"$2\" >> '" + (home() / "questions").string() +
                             "'\nexit $(cat '" + (home() / "answer").string() + "')");
    for (const auto& [symbol, price] : {std::pair{kC500, 12.0},
                                        {kC501, 11.0},
                                        {kC510, 7.0},
                                        {kC610, 0.5},
                                        {kP490, 8.0},
                                        {kP390, 0.5}})
      broker.set_trade(symbol, price);
  }
  void answer(int status) { write_text(home() / "answer", std::to_string(status)); }
  Ran ask(const Args& args) { return run(Args{"ask"} + args); }
  Ran check(const Args& args) { return run(Args{"check", "--json"} + args); }
  std::string question(const Args& args) {
    return Json::parse(check(args).out).value("question", "");
  }
  static Args ticket(std::initializer_list<std::string> legs) {
    Args args{"--symbol", "SPY", "--class", "option"};
    for (const std::string& leg : legs)
      args = args + Args{"--leg", leg};
    return args;
  }
};

TEST_F(TicketLegs, CoverIsCountedOnceAcrossTheTicket) {
  broker.set_positions(Json::array({{{"symbol", "SPY"}, {"qty", "100"}}}));
  // 100 shares cover one sold call, not two.
  auto two = ask(ticket({kC500 + ":sell:1", kC510 + ":sell:1"}) + Args{"--notional", "1000"});
  EXPECT_EQ(two.code, 1);
  EXPECT_TRUE(
      two.out.starts_with("REFUSED  at gate [denied]\n  rule 'naked-short-options-never' "
                          "denies SELL 2-leg option SPY $1000.00 NAKED SHORT (opening)"))
      << two.out;
  EXPECT_TRUE(broker.orders().empty());
  // One call sold against them is covered, and a vertical beside it is covered by its own leg.
  auto covered = ask(ticket({kC500 + ":sell:1", kC510 + ":buy:1", kC510 + ":sell:1"}) +
                     Args{"--notional", "1000"});
  EXPECT_EQ(covered.code, 0) << covered.out << covered.err;
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(TicketLegs, WhatTheTicketCanLoseComesFromItsLegs) {
  // Five credit spreads sent as one, ratio 5:5: 5 x (10 - 0.5) x 100 = 4,750, 4.75% of equity.
  auto five = ask(ticket({kC500 + ":sell:1:5", kC510 + ":buy:1:5"}) +
                  Args{"--limit-credit", "2.5", "--notional", "950"});
  EXPECT_EQ(five.code, 1);
  EXPECT_TRUE(
      five.out.starts_with("REFUSED  at risk [risk_refused]\n  this order risks 4.75% of "
                           "equity"))
      << five.out;
  // Two long calls at market cost what they cost, 10 x (12 + 11) x 100, not a vertical's width.
  auto longs = ask(ticket({kC500 + ":buy:10", kC501 + ":buy:10"}) + Args{"--notional", "100"});
  EXPECT_EQ(longs.code, 1);
  EXPECT_TRUE(longs.out.starts_with("REFUSED  at risk [risk_refused]\n  this order risks 23.00%"))
      << longs.out;
  // A condor's stated $50 is no bound on its 100-point wings; a debit limit none on a credit
  // spread's width.
  const Args condor =
      ticket({kP490 + ":sell:1", kP390 + ":buy:1", kC510 + ":sell:1", kC610 + ":buy:1"});
  EXPECT_EQ(question(condor + Args{"--limit-credit", "1", "--notional", "50"}),
            "SELL 4-leg option SPY $9900.00 (opening) [options-ask-briefly]");
  const Args credit_spread = ticket({kC500 + ":sell:1", kC510 + ":buy:1"});
  EXPECT_EQ(question(credit_spread + Args{"--limit-debit", "0.01", "--notional", "1"}),
            "BUY 2-leg option SPY $1001.00 (opening) [options-ask-briefly]");
  EXPECT_EQ(question(credit_spread + Args{"--limit-credit", "0.01", "--notional", "1"}),
            "SELL 2-leg option SPY $999.00 (opening) [options-ask-briefly]");
  EXPECT_TRUE(broker.orders().empty());

  // One spread, at its width less its credit, goes out; a stated loss cannot lower it.
  auto one = ask(credit_spread +
                 Args{"--limit-credit", "0.5", "--notional", "950", "--max-loss", "10", "--json"});
  EXPECT_EQ(one.code, 0) << one.out << one.err;
  EXPECT_NE(one.err.find("NOTE: --max-loss 10.00 does not match the strikes (950.00)"),
            std::string::npos)
      << one.err;
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["limit_price"], "-0.5");
}

TEST_F(TicketLegs, ATicketIsNamedAndSidedByItsLegs) {
  const Args debit = ticket({kC500 + ":buy:1", kC510 + ":sell:1"}) +
                     Args{"--limit-debit", "2", "--notional", "200"};
  answer(1);
  auto no = ask(debit);
  EXPECT_EQ(no.code, 1);
  EXPECT_TRUE(no.out.starts_with("REFUSED  at operator [denied]\n")) << no.out;
  // A side no leg carries is refused; without one, the side is the ticket's.
  auto sold = ask(debit + Args{"--side", "sell"});
  EXPECT_EQ(sold.code, 3);
  EXPECT_TRUE(
      sold.err.starts_with("tovra trade: --side sell disagrees with the ticket, which "
                           "pays a net debit, so it is a buy.\n"))
      << sold.err;
  // Under a contract on its root, the same ticket is the same refusal.
  for (const Args& again :
       {debit, Args{"--symbol", "SPY261218C09990000"} + debit, debit + Args{"--side", "buy"}}) {
    auto r = ask(again);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(
        r.out.starts_with("REFUSED  at memory [denied_from_memory]\n  BUY 2-leg option "
                          "SPY $200.00 (opening) was refused"))
        << r.out;
  }
  EXPECT_EQ(slurp(home() / "questions"),
            "BUY 2-leg option SPY $200.00 (opening) [options-ask-briefly]\n");
  EXPECT_TRUE(broker.orders().empty());

  // The owner's rule for the root sees the ticket whatever contract names it.
  write_text(config(),
             R"([{"name": "no-spy", "when": [{"symbol_in": ["SPY"]}], "posture": "deny"}])");
  EXPECT_EQ(run(Args{"check", "--symbol", "SPY261218C09990000"} + debit).code, 2);
}

TEST_F(TicketLegs, ATicketClosesOnlyWhenEveryLegDoes) {
  write_text(config(),
             R"([{"name": "exits", "when": [{"intent_is": "closing"}], "posture": "allow"},
                           {"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  answer(1);
  // Stock in the root closes no leg of a ticket, whatever side or quantity is stated for it.
  broker.set_positions(Json::array({{{"symbol", "SPY"}, {"qty", "100"}}}));
  const Args debit = ticket({kC500 + ":buy:1", kC510 + ":sell:1"}) +
                     Args{"--limit-debit", "5", "--notional", "500", "--qty", "1"};
  EXPECT_EQ(ask(debit + Args{"--side", "sell"}).code, 3);
  auto opening = ask(debit);
  EXPECT_EQ(opening.code, 1);
  EXPECT_TRUE(opening.out.starts_with("REFUSED  at operator [denied]\n")) << opening.out;
  // Against the contracts it closes, it is an exit.
  broker.set_positions(
      Json::array({{{"symbol", kC500}, {"qty", "1"}}, {{"symbol", kC510}, {"qty", "-1"}}}));
  auto closing = ask(ticket({kC500 + ":sell:1", kC510 + ":buy:1"}) +
                     Args{"--limit-credit", "4", "--notional", "400"});
  EXPECT_EQ(closing.code, 0) << closing.out << closing.err;
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(TicketLegs, OneSpellingPerCryptoPair) {
  answer(1);
  EXPECT_EQ(ask({"--symbol", "BTC/USD", "--class", "crypto", "--notional", "500"}).code, 1);
  for (const char* spelling : {"BTCUSD", "btc/usd", "btcusd"}) {
    auto r = ask({"--symbol", spelling, "--class", "crypto", "--notional", "500"});
    EXPECT_TRUE(r.out.starts_with("REFUSED  at memory [denied_from_memory]\n")) << spelling;
    // Written as a stock, a pair is refused where it may be sent, in any letter case.
    EXPECT_EQ(ask({"--symbol", spelling, "--notional", "500"}).code, 3) << spelling;
  }
  EXPECT_TRUE(broker.orders().empty());
}

TEST_F(TicketLegs, AValuedOptionNeedsItsValue) {
  const Args order{"--symbol", "AAPL", "--notional", "500"};
  for (const char* option : {"--verdict", "--why", "--max-loss", "--leg"}) {
    for (const auto& [command, who] : {std::pair{"ask", "ask"}, {"check", "check"}}) {
      auto r = run(Args{command} + order + Args{option});
      EXPECT_EQ(r.code, 3) << command << option;
      EXPECT_TRUE(
          r.err.starts_with("tovra trade " + std::string(who) + ": " + option + " needs a value\n"))
          << r.err;
    }
  }
  EXPECT_FALSE(fs::exists(state("journal.jsonl")));
  // With its word, the rehearsal is judged and journalled, and not sent.
  auto rehearsal = ask(order + Args{"--verdict", "approved"});
  EXPECT_EQ(rehearsal.code, 0);
  EXPECT_NE(rehearsal.out.find("NOT PLACED"), std::string::npos) << rehearsal.out;
  EXPECT_TRUE(broker.orders().empty());
}

}  // namespace
}  // namespace trade::testing
