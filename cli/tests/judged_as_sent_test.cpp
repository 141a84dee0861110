// An order is judged as what the broker will receive. What the order or the broker can tell
// wins over what the agent states, and a stated value may make an order look riskier, never
// safer. Each test sets a way around the gate beside the legitimate form of the same order, so
// that a gate refusing everything fails as surely as one that lets the trick through.
#include <chrono>
#include <regex>
#include <thread>

#include "harness.hpp"
#include "vavev_aziz/risk.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;

const std::string kCall = "SPY261218C00500000";
const std::string kHigherCall = "SPY261218C00510000";
const std::string kC501 = "SPY261218C00501000";
const std::string kC610 = "SPY261218C00610000";
const std::string kP490 = "SPY261218P00490000";
const std::string kP390 = "SPY261218P00390000";

class JudgedAsSent : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    ASSERT_EQ(run({"rules", "--init"}).code, 0);
    // The owner answers with the status in the answer file (0 yes, 1 no); each question is kept.
    answer(0);
    fake_program("imsg", "printf '%s\\n' \"$2\" >> '" + questions().string() + "'\nexit $(cat '" +
                             (home() / "answer").string() + "')");
  }
  void answer(int status) { write_text(home() / "answer", std::to_string(status)); }
  Ran ask(Args args) {
    args.insert(args.begin(), "ask");
    return run(args);
  }
  Ran check(Args args) {
    args.insert(args.begin(), "check");
    return run(args);
  }
  fs::path questions() const { return home() / "questions"; }
  // What the owner would be asked about the order `check` judges.
  std::string question(const Args& args) {
    return Json::parse(check(args + Args{"--json"}).out).value("question", "");
  }
  // A ticket on SPY of the legs given as SYMBOL:side:QTY[:RATIO].
  static Args ticket(std::initializer_list<std::string> legs) {
    Args args{"--symbol", "SPY", "--class", "option"};
    for (const std::string& leg : legs)
      args = args + Args{"--leg", leg};
    return args;
  }
  void price_contracts() {
    for (const auto& [symbol, price] : {std::pair{kCall, 12.0},
                                        {kC501, 11.0},
                                        {kHigherCall, 7.0},
                                        {kC610, 0.5},
                                        {kP490, 8.0},
                                        {kP390, 0.5}})
      broker.set_trade(symbol, price);
  }
  std::size_t journalled() {
    const std::string text = slurp(state("journal.jsonl"));
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  void halt() {
    write_text(state("risk.json"), R"({"high_water": 100000.0, "halt": {"at": 1.0,
      "kind": "drawdown", "reason": "r", "equity": 1.0, "high_water": 1.0, "iv_rank": null}})");
  }
};

TEST_F(JudgedAsSent, TheClassIsTheOneTheBrokerReadsFromTheSymbol) {
  broker.set_trade(kCall, 5);
  // An option contract is an option whatever the order calls it, also where nothing is sent.
  for (const Args& described : {Args{"--class", "equity"}, Args{}, Args{"--class", "crypto"}}) {
    Args args{"--symbol", kCall,     "--side", "sell",       "--qty",
              "10",       "--limit", "5",      "--notional", "50"};
    args.insert(args.end(), described.begin(), described.end());
    for (const Ran& r :
         {ask(args), check(args), check(args + Args{"--offline", "--equity", "1"})}) {
      EXPECT_EQ(r.code, 3);
      EXPECT_TRUE(r.err.starts_with("tovra trade: REFUSED \u2014 " + kCall +
                                    " is an option contract, so the broker trades it as an "
                                    "option, not as "))
          << r.err;
    }
  }
  // Called an option, the same sale of an uncovered call is judged at its floor and denied.
  auto naked = ask({"--symbol", kCall, "--class", "option", "--side", "sell", "--qty", "1",
                    "--limit", "5", "--notional", "5"});
  EXPECT_EQ(naked.code, 1);
  EXPECT_TRUE(
      naked.out.starts_with("REFUSED  at gate [denied]\n  rule "
                            "'naked-short-options-never' denies SELL option " +
                            kCall + " $500.00 NAKED SHORT (opening)"))
      << naked.out;

  // Where the broker would read another class than the one described, only a run that cannot
  // send judges the description.
  const std::pair<std::string, std::string> misread[] = {
      {"AAPL", "option"}, {"AAPL", "crypto"}, {"BTC/USD", "equity"}, {"BTCUSD", "equity"}};
  for (const auto& [symbol, asset_class] : misread) {
    const Args args{"--symbol", symbol, "--class", asset_class, "--notional", "500"};
    auto sent = ask(args);
    EXPECT_EQ(sent.code, 3) << symbol;
    EXPECT_TRUE(sent.err.starts_with("tovra trade: REFUSED \u2014 the order is described as "))
        << sent.err;
    EXPECT_NE(check(args).code, 3);
    EXPECT_NE(ask(args + Args{"--offline", "--equity", "100000"}).code, 3);
    EXPECT_NE(ask(args + Args{"--verdict", "denied"}).code, 3);
  }
  EXPECT_TRUE(broker.orders().empty());

  // Described as what they are, they go out.
  for (const Args& args : {Args{"--symbol", kCall, "--class", "option", "--qty", "1", "--limit",
                                "5", "--notional", "500"},
                           Args{"--symbol", "BTC/USD", "--class", "crypto", "--notional", "500"},
                           Args{"--symbol", "ETHUSD", "--class", "crypto", "--notional", "500"}}) {
    auto r = ask(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(broker.orders().back()["symbol"], args[1]);
  }
}

TEST_F(JudgedAsSent, TheLegsOfATicketAreContractsOnItsUnderlying) {
  write_text(config(),
             R"([{"name": "no-tsla", "when": [{"symbol_in": ["TSLA"]}], "posture": "deny"},
                           {"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  const Args tsla{"--class",       "option",
                  "--leg",         "TSLA261218C00400000:buy:1",
                  "--leg",         "TSLA261218C00410000:sell:1",
                  "--limit-debit", "1",
                  "--notional",    "100"};
  auto disguised = ask(Args{"--symbol", "SPY"} + tsla);
  EXPECT_EQ(disguised.code, 3);
  EXPECT_EQ(disguised.err,
            "tovra trade: REFUSED \u2014 the leg TSLA261218C00400000 is not an option contract "
            "on SPY, the underlying that the rules and the denial memory judge.\n"
            "  The gate judges what the broker will receive, so an order must be described as "
            "it\n  will be sent. Nothing was judged, written or sent.\n");
  EXPECT_EQ(check(Args{"--symbol", "SPY"} + tsla).code, 2);  // judged as its legs' root
  EXPECT_EQ(ask(Args{"--symbol", "tsla"} + tsla).code, 1);   // denied under its own name

  auto spread = ask({"--symbol", "SPY", "--class", "option", "--leg", kCall + ":buy:1", "--leg",
                     kHigherCall + ":sell:1", "--limit-debit", "1", "--notional", "100"});
  EXPECT_EQ(spread.code, 0) << spread.err;
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["legs"][1]["symbol"], kHigherCall);
  EXPECT_EQ(slurp(questions()).find("TSLA"), std::string::npos);
}

TEST_F(JudgedAsSent, AMarketTicketIsPricedLegByLeg) {
  const std::string put = "SPY261218P00480000";
  broker.set_trade(kCall, 3);
  broker.set_trade(kHigherCall, 1);
  broker.set_trade(put, 1);
  const auto legs = [&](const std::string& a, const std::string& b, const std::string& qty,
                        const std::string& second = "") {
    return Args{"--symbol", "SPY",
                "--class",  "option",
                "--leg",    kCall + ":" + a + ":" + qty,
                "--leg",    (second.empty() ? put : second) + ":" + b + ":" + qty};
  };
  // Both legs bought 500 times: 4 a structure, 200,000 in all, whatever the agent states.
  auto bought = ask(legs("buy", "buy", "500") + Args{"--notional", "1"});
  EXPECT_EQ(bought.code, 1);
  EXPECT_TRUE(bought.out.starts_with("REFUSED  at risk [risk_refused]\n")) << bought.out;
  EXPECT_EQ(bought.err,
            "tovra trade: NOTE: --notional 1.00 does not match 500 @ 4.00 = 200000.00; judging "
            "the DERIVED value, which is what will be sent.\n");
  auto described = check(legs("buy", "buy", "500") + Args{"--notional", "1", "--json"});
  EXPECT_NE(described.out.find("$200000.00"), std::string::npos) << described.out;
  // Offline there is no price: the stated amount stands.
  const Args offline{"--notional", "1", "--offline", "--equity", "100000", "--json"};
  EXPECT_NE(check(legs("buy", "buy", "500") + offline).out.find("$1.00"), std::string::npos);
  // A leg without a price refuses the ticket, before anything is judged.
  auto unpriced = ask({"--symbol", "SPY", "--class", "option", "--leg", kCall + ":buy:1", "--leg",
                       "SPY261218C00520000:sell:1", "--notional", "100"});
  EXPECT_EQ(unpriced.code, 3);
  EXPECT_NE(unpriced.err.find("tovra trade: REFUSED \u2014 no price for SPY261218C00520000 ("),
            std::string::npos)
      << unpriced.err;

  // A credit vertical is worth at least what its strikes can lose with the credit it is sure
  // of: none at market, what the limit names otherwise. Approved, it goes out as it is.
  auto credit = ask(legs("sell", "buy", "1", kHigherCall) + Args{"--notional", "800"});
  EXPECT_EQ(credit.code, 0) << credit.out << credit.err;
  EXPECT_EQ(credit.err,
            "tovra trade: NOTE: --notional 800.00 is less than the legs can lose (1000.00); "
            "judging the DERIVED value.\n");
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["type"], "market");
  auto limited = check(legs("sell", "buy", "1", kHigherCall) +
                       Args{"--limit-credit", "2", "--notional", "100", "--json"});
  EXPECT_NE(limited.out.find("$800.00"), std::string::npos) << limited.out;
}

TEST_F(JudgedAsSent, ASaleIsJudgedAtTheHigherOfItsLimitAndTheMarket) {
  broker.set_trade("AAPL", 100);
  auto sale = ask({"--symbol", "AAPL", "--side", "sell", "--qty", "1000", "--limit", "0.01",
                   "--notional", "10"});
  EXPECT_EQ(sale.code, 1);
  EXPECT_TRUE(
      sale.out.starts_with("REFUSED  at risk [risk_refused]\n  this order risks "
                           "100.00% of equity"))
      << sale.out;
  auto unpriced =
      ask({"--symbol", "ZZZ", "--side", "sell", "--qty", "1", "--limit", "5", "--notional", "5"});
  EXPECT_EQ(unpriced.code, 3);
  EXPECT_TRUE(unpriced.err.starts_with("tovra trade: REFUSED \u2014 no price for ZZZ ("));
  EXPECT_TRUE(broker.orders().empty());

  // A buy's limit caps what it pays; offline a sale's limit is all there is.
  EXPECT_EQ(ask({"--symbol", "AAPL", "--qty", "1000", "--limit", "0.01", "--notional", "10"}).code,
            0);
  EXPECT_EQ(ask({"--symbol", "AAPL", "--side", "sell", "--qty", "1000", "--limit", "0.01",
                 "--notional", "10", "--offline", "--equity", "100000"})
                .code,
            0);
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["side"], "buy");
}

TEST_F(JudgedAsSent, AnExitClosesOnlyWhatIsThereToClose) {
  halt();
  broker.set_trade(kCall, 2);
  broker.set_positions(Json::array({{{"symbol", kCall}, {"qty", "1"}},
                                    {{"symbol", "AAPL"}, {"qty", "10"}, {"qty_available", "0"}},
                                    {{"symbol", "MSFT"}, {"qty", "10"}, {"qty_available", "10"}}}));
  broker.set_trade("AAPL", 150);
  broker.set_trade("MSFT", 150);
  const Args sells_twice[] = {
      {"--symbol", "SPY", "--class", "option", "--leg", kCall + ":sell:1", "--leg",
       kCall + ":sell:1", "--limit-credit", "1", "--notional", "100"},
      {"--symbol", kCall, "--class", "option", "--legs", "2", "--qty", "1", "--side", "sell",
       "--notional", "100"},
      // Every share is already held by an order the broker is working.
      {"--symbol", "AAPL", "--side", "sell", "--qty", "10", "--limit", "150", "--notional", "1500"},
  };
  for (const Args& args : sells_twice) {
    auto r = ask(args);
    EXPECT_EQ(r.code, 1) << args[1];
    EXPECT_TRUE(r.out.starts_with("REFUSED  at halt [risk_halted]\n")) << r.out;
  }
  EXPECT_TRUE(broker.orders().empty());

  // While halted, closing what is there still goes out.
  for (const Args& args : {Args{"--symbol", kCall, "--class", "option", "--side", "sell", "--qty",
                                "1", "--limit", "2", "--notional", "200"},
                           Args{"--symbol", "MSFT", "--side", "sell", "--qty", "10", "--limit",
                                "150", "--notional", "1500"}}) {
    auto r = ask(args);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
  }
  EXPECT_EQ(broker.orders().size(), 2u);
}

TEST_F(JudgedAsSent, OnlyEquityTheBrokerReportsMovesTheBaselines) {
  const auto marks = [&] {
    const auto saved = vavev_aziz::read_risk_state(slurp(state("risk.json")));
    return saved ? std::pair{saved->high_water, saved->week_start_equity} : std::pair{-1.0, -1.0};
  };
  for (const char* stated : {"0.01", "1e12"}) {
    ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", stated});
    EXPECT_EQ(marks(), (std::pair{0.0, 0.0})) << stated;
  }
  EXPECT_EQ(ask({"--symbol", "AAPL", "--notional", "500"}).code, 0);
  EXPECT_EQ(marks(), (std::pair{100000.0, 100000.0}));
  Json down = tovra::testing::FakeBroker::default_account();
  down["equity"] = "93000";
  broker.set_account(down);
  auto halted = ask({"--symbol", "AAPL", "--notional", "500"});
  EXPECT_EQ(halted.code, 1);
  EXPECT_NE(halted.out.find("week is -7.0%"), std::string::npos) << halted.out;

  // A halt raised at a stated equity is saved like any other.
  fs::remove(state("journal.jsonl"));  // no earlier halt to restore
  write_text(state("risk.json"), R"({"high_water": 200000.0})");
  ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", "100000"});
  EXPECT_NE(slurp(state("risk.json")).find("\"kind\": \"drawdown\""), std::string::npos);
  EXPECT_EQ(broker.orders().size(), 1u);

  // Where the broker answers with no equity, a stated one judges only what cannot be sent.
  down["equity"] = "0";
  broker.set_account(down);
  fs::remove(state("risk.json"));
  const Args stated{"--symbol", "AAPL", "--notional", "500", "--equity", "1e12"};
  for (const Args& sending : {stated, stated + Args{"--dry-run"}}) {
    auto r = ask(sending);
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(
        r.err.starts_with("tovra trade: REFUSED \u2014 equity is unknown (live (equity "
                          "unreadable"))
        << r.err;
  }
  EXPECT_EQ(check(stated).code, 0);
  EXPECT_NE(ask(stated + Args{"--verdict", "approved"}).code, 3);  // judged (the halt stands)
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(JudgedAsSent, TheAgentMayTightenTheFreshnessBoundsNeverLoosenThem) {
  write_text(config(), R"([{"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  broker.set_trade("AAPL", 150);
  // Judged at its limit of 100 a share, the buy is worth 50% more at the market now.
  const Args drifted{"--symbol", "AAPL", "--qty", "2", "--limit", "100", "--notional", "200"};
  const Args steady{"--symbol", "AAPL", "--qty", "2", "--limit", "150", "--notional", "300"};
  const std::pair<Args, int> cases[] = {
      {drifted, 1},
      {drifted + Args{"--max-drift", "10"}, 1},
      {drifted + Args{"--max-drift", "0"}, 1},
      {drifted + Args{"--max-drift", "nan"}, 1},
      {steady + Args{"--max-drift", "0.0001", "--max-quote-age", "0"}, 0},
      {steady + Args{"--max-drift", "-1"}, 0},
  };
  for (const auto& [args, code] : cases) {
    auto r = ask(args);
    EXPECT_EQ(r.code, code) << args.back() << r.out;
    if (code == 1) {
      EXPECT_TRUE(r.out.starts_with("REFUSED  at revalidate [stale]\n")) << r.out;
    }
  }
  EXPECT_EQ(broker.orders().size(), 2u);
}

TEST_F(JudgedAsSent, AStatedMaximumLossRaisesTheRiskNeverLowersIt) {
  const Args offline{"--offline", "--equity", "100000"};
  const struct {
    Args args;
    int code;
  } cases[] = {
      {{"--notional", "5000", "--max-loss", "1"}, 1},     // judged at the notional
      {{"--notional", "1000", "--max-loss", "3000"}, 1},  // judged at the stated loss
      {{"--notional", "1000", "--max-loss", "1500"}, 0},  // within the limit either way
      {{"--notional", "1000", "--max-loss", "abc"}, 0},   // unreadable: absent
      {{"--notional", "1000", "--max-loss", "-1e9"}, 3},
      {{"--notional", "1000", "--max-loss", "0"}, 3},
      {{"--notional", "1000", "--max-loss", "nan"}, 3},
      {{"--notional", "1000", "--max-loss", "inf"}, 3},
  };
  for (const auto& c : cases) {
    auto r = ask(Args{"--symbol", "AAPL"} + c.args + offline);
    EXPECT_EQ(r.code, c.code) << c.args[3] << r.out;
    if (c.code == 3) {
      EXPECT_EQ(r.err, "tovra trade ask: --max-loss " + c.args[3] +
                           ": expected a positive amount\n  A stated maximum loss can only raise "
                           "the risk judged, never lower it below the\n  order's notional. "
                           "Nothing was judged, written or sent.\n");
    }
  }
  EXPECT_EQ(journalled(), 4u);
  EXPECT_NE(slurp(state("journal.jsonl")).find("\"max_loss\":1500.0"), std::string::npos);
}

TEST_F(JudgedAsSent, ADeclaredIntentMustMatchTheBookTheBrokerReports) {
  const std::string refusal =
      "tovra trade: --intent close disagrees with the live book, which makes this an order to "
      "Opening.\n";
  const Args buy{"--symbol", "AAPL", "--notional", "500", "--intent", "close"};
  for (const Ran& r : {ask(buy), check(buy)}) {
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.starts_with(refusal)) << r.err;
  }
  // Offline the book is unknown and the declaration stands; nothing is sent.
  EXPECT_EQ(ask(buy + Args{"--offline", "--equity", "100000"}).code, 0);
  broker.set_positions(Json::array({{{"symbol", "AAPL"}, {"qty", "10"}}}));
  broker.set_trade("AAPL", 150);
  EXPECT_EQ(ask({"--symbol", "AAPL", "--side", "sell", "--qty", "5", "--limit", "150", "--notional",
                 "750", "--intent", "close"})
                .code,
            0);
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["side"], "sell");
}

TEST_F(JudgedAsSent, WhatTheBrokerCouldNotTellIsNeverSentOnTheAgentsWord) {
  // The account pin cannot be checked while the order is read, so no client is built and a
  // stated equity judges the order; by the owner's yes the broker is back.
  set("ALPACA_EXPECT_ACCOUNT", "PA3KX8ZQ2N1V");
  broker.reply("GET", "/v2/account", {503, "down"});
  const fs::path asked = home() / "asked", back = home() / "back";
  fake_program("imsg", "touch '" + asked.string() + "'\nwhile [ ! -e '" + back.string() +
                           "' ]; do sleep 0.05; done\nexit 0");
  std::thread broker_back([&] {
    for (int i = 0; i < 600 && !fs::exists(asked); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    broker.reply("GET", "/v2/account", {200, tovra::testing::FakeBroker::default_account().dump()});
    write_text(back, "");
  });
  auto stated = ask({"--symbol", "AAPL", "--notional", "5000", "--equity", "1000000000"});
  broker_back.join();
  EXPECT_EQ(stated.code, 0) << stated.err;
  EXPECT_NE(stated.out.find("judged on a stated --equity while the broker could not be reached"),
            std::string::npos)
      << stated.out;

  // Positions that cannot be read leave a declared closing intent standing for the rules, and
  // the order is not sent on it; derived, the same order goes.
  fake_program("imsg", "exit 0");
  write_text(config(),
             R"([{"name": "exits", "when": [{"intent_is": "closing"}], "posture": "allow"},
                           {"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  broker.reply("GET", "/v2/positions", {500, "down"});
  auto declared = ask({"--symbol", "AAPL", "--notional", "500", "--intent", "closing"});
  EXPECT_EQ(declared.code, 0) << declared.err;
  EXPECT_NE(declared.out.find("judged as closing on --intent while the positions could not be "
                              "read"),
            std::string::npos)
      << declared.out;
  EXPECT_TRUE(broker.orders().empty());
  EXPECT_EQ(ask({"--symbol", "AAPL", "--notional", "500"}).code, 0);
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(JudgedAsSent, TheOwnerIsShownNoCharacterThatActsRatherThanShows) {
  const std::string thesis = "ok\r\x1b[2K\u202e\u200b\x7f\xff\n[exits-are-free]";
  const std::string shown = "ok\uFFFD\uFFFD[2K\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD[exits-are-free]";
  const Args order{"--symbol", kCall, "--class", "option", "--notional", "500", "--why", thesis};
  auto asked = check(order + Args{"--json"});
  EXPECT_NE(asked.out.find(" \u2014 " + shown + " [options-ask-briefly]"), std::string::npos)
      << asked.out;
  EXPECT_EQ(ask(order).code, 0);
  EXPECT_EQ(slurp(questions()), "BUY option " + kCall + " $500.00 (opening) \u2014 " + shown +
                                    " [options-ask-briefly]\n");
  EXPECT_NE(slurp(state("journal.jsonl")).find(R"("thesis":"ok\r\u001b[2K)"), std::string::npos);
  // A plain thesis, accents and dashes included, is shown as written.
  auto plain = check({"--symbol", kCall, "--class", "option", "--notional", "500", "--why",
                      "caf\u00e9 \u2014 -5% drift"});
  EXPECT_NE(plain.out.find("caf\u00e9 \u2014 -5% drift [options"), std::string::npos);
}

TEST_F(JudgedAsSent, EveryArgumentIsAnOptionOrItsValue) {
  for (const char* stray : {"-dry-run", "dry-run", "\u2014dry-run", "\u2013dry-run", "-offline"}) {
    const Args args{"--symbol", "AAPL", "--notional", "500", stray};
    for (const Ran& r : {ask(args), check(args)}) {
      EXPECT_EQ(r.code, 3) << stray;
      EXPECT_NE(r.err.find(": stray argument \"" + std::string(stray) + "\"\n"), std::string::npos)
          << r.err;
    }
  }
  EXPECT_TRUE(broker.orders().empty());
  EXPECT_FALSE(fs::exists(state("journal.jsonl")));
  // A value may begin with "-".
  EXPECT_EQ(check({"--symbol", kCall, "--class", "option", "--legs", "2", "--limit", "-0.35",
                   "--why", "-5 points", "--notional", "100"})
                .code,
            1);
  EXPECT_EQ(ask({"--symbol", "AAPL", "--notional", "500", "--why", "-5 points"}).code, 0);
}

TEST_F(JudgedAsSent, CoverIsCountedOnceAcrossTheTicket) {
  price_contracts();
  broker.set_positions(Json::array({{{"symbol", "SPY"}, {"qty", "100"}}}));
  // 100 shares cover one sold call, not two.
  auto two = ask(ticket({kCall + ":sell:1", kHigherCall + ":sell:1"}) + Args{"--notional", "1000"});
  EXPECT_EQ(two.code, 1);
  EXPECT_TRUE(
      two.out.starts_with("REFUSED  at gate [denied]\n  rule 'naked-short-options-never' "
                          "denies SELL 2-leg option SPY $1000.00 NAKED SHORT (opening)"))
      << two.out;
  EXPECT_TRUE(broker.orders().empty());
  // One call sold against them is covered, and a vertical beside it is covered by its own leg.
  auto covered = ask(ticket({kCall + ":sell:1", kHigherCall + ":buy:1", kHigherCall + ":sell:1"}) +
                     Args{"--notional", "1000"});
  EXPECT_EQ(covered.code, 0) << covered.out << covered.err;
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(JudgedAsSent, WhatTheTicketCanLoseComesFromItsLegs) {
  price_contracts();
  // Five credit spreads sent as one, ratio 5:5: 5 x (10 - 0.5) x 100 = 4,750, 4.75% of equity.
  auto five = ask(ticket({kCall + ":sell:1:5", kHigherCall + ":buy:1:5"}) +
                  Args{"--limit-credit", "2.5", "--notional", "950"});
  EXPECT_EQ(five.code, 1);
  EXPECT_TRUE(
      five.out.starts_with("REFUSED  at risk [risk_refused]\n  this order risks 4.75% of "
                           "equity"))
      << five.out;
  // Two long calls at market cost what they cost, 10 x (12 + 11) x 100, not a vertical's width.
  auto longs = ask(ticket({kCall + ":buy:10", kC501 + ":buy:10"}) + Args{"--notional", "100"});
  EXPECT_EQ(longs.code, 1);
  EXPECT_TRUE(longs.out.starts_with("REFUSED  at risk [risk_refused]\n  this order risks 23.00%"))
      << longs.out;
  // A condor's stated $50 is no bound on its 100-point wings; a debit limit none on a credit
  // spread's width.
  const Args condor =
      ticket({kP490 + ":sell:1", kP390 + ":buy:1", kHigherCall + ":sell:1", kC610 + ":buy:1"});
  EXPECT_EQ(question(condor + Args{"--limit-credit", "1", "--notional", "50"}),
            "SELL 4-leg option SPY $9900.00 (opening) [options-ask-briefly]");
  const Args credit_spread = ticket({kCall + ":sell:1", kHigherCall + ":buy:1"});
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

TEST_F(JudgedAsSent, ATicketIsNamedAndSidedByItsLegs) {
  const Args debit = ticket({kCall + ":buy:1", kHigherCall + ":sell:1"}) +
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
  EXPECT_EQ(slurp(questions()), "BUY 2-leg option SPY $200.00 (opening) [options-ask-briefly]\n");
  EXPECT_TRUE(broker.orders().empty());

  // The owner's rule for the root sees the ticket whatever contract names it.
  write_text(config(),
             R"([{"name": "no-spy", "when": [{"symbol_in": ["SPY"]}], "posture": "deny"}])");
  EXPECT_EQ(run(Args{"check", "--symbol", "SPY261218C09990000"} + debit).code, 2);
}

TEST_F(JudgedAsSent, ATicketClosesOnlyWhenEveryLegDoes) {
  write_text(config(),
             R"([{"name": "exits", "when": [{"intent_is": "closing"}], "posture": "allow"},
                           {"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  answer(1);
  // Stock in the root closes no leg of a ticket, whatever side or quantity is stated for it.
  broker.set_positions(Json::array({{{"symbol", "SPY"}, {"qty", "100"}}}));
  const Args debit = ticket({kCall + ":buy:1", kHigherCall + ":sell:1"}) +
                     Args{"--limit-debit", "5", "--notional", "500", "--qty", "1"};
  EXPECT_EQ(ask(debit + Args{"--side", "sell"}).code, 3);
  auto opening = ask(debit);
  EXPECT_EQ(opening.code, 1);
  EXPECT_TRUE(opening.out.starts_with("REFUSED  at operator [denied]\n")) << opening.out;
  // Against the contracts it closes, it is an exit.
  broker.set_positions(
      Json::array({{{"symbol", kCall}, {"qty", "1"}}, {{"symbol", kHigherCall}, {"qty", "-1"}}}));
  auto closing = ask(ticket({kCall + ":sell:1", kHigherCall + ":buy:1"}) +
                     Args{"--limit-credit", "4", "--notional", "400"});
  EXPECT_EQ(closing.code, 0) << closing.out << closing.err;
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(JudgedAsSent, OneSpellingPerCryptoPair) {
  answer(1);
  EXPECT_EQ(ask({"--symbol", "BTC/USD", "--class", "crypto", "--notional", "500"}).code, 1);
  for (const char* spelling : {"BTCUSD", "btc/usd", "btcusd"}) {
    auto r = ask({"--symbol", spelling, "--class", "crypto", "--notional", "500"});
    EXPECT_TRUE(r.out.starts_with("REFUSED  at memory [denied_from_memory]\n")) << spelling;
    // Written as a stock, a pair is refused where it may be sent, in any letter case.
    EXPECT_EQ(ask({"--symbol", spelling, "--notional", "500"}).code, 3) << spelling;
  }
  EXPECT_TRUE(broker.orders().empty());

  // The owner's rule and the positions know the pair by any spelling too.
  write_text(config(), R"([{"name": "exits", "when": ["reduces_risk"], "posture": "allow"},
                           {"name": "no-btc", "when": [{"symbol_in": ["btcusd"]}], "posture": "deny"}])");
  EXPECT_EQ(check({"--symbol", "BTC/USD", "--class", "crypto", "--notional", "500"}).code, 2);
  broker.set_positions(Json::array({{{"symbol", "BTCUSD"}, {"qty", "1"}}}));
  broker.set_trade("BTC/USD", 500);
  const Args sale{"--symbol", "BTC/USD", "--class", "crypto", "--side",     "sell",
                  "--qty",    "1",       "--limit", "500",    "--notional", "500"};
  EXPECT_EQ(check(sale).code, 0);
}

TEST_F(JudgedAsSent, AValuedOptionNeedsItsValue) {
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
