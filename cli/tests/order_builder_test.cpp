// Building an order from the command line: the refusals with their messages, sizing and leg
// forms, intent against live positions, live pricing through the fake broker, the leg
// spelling, and the live market and canned answer handed to the pipeline.
#include <sstream>

#include "harness.hpp"
#include "live_market.hpp"
#include "order_builder.hpp"
#include "vavev_aziz/support/numbers.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;
using vavev_aziz::Intent;
using vavev_aziz::Order;
using vavev_aziz::alpaca::Position;

class BuildOrder : public BrokerScratch {
 protected:
  // Builds `more` followed by "--symbol X --notional 1" (the first occurrence of an option
  // counts, so `more` may give its own); a default order after a refusal.
  Order build(Args args, const std::vector<Position>& book = {}) {
    args.insert(args.end(), {"--symbol", "X", "--notional", "1"});
    std::ostringstream out;
    auto r = build_order(order_options(args), book, out);
    err = out.str();
    code = r ? Exit::Ok : r.error();
    return r ? r->order : Order{};
  }
  bool refused_with(const std::string& start) {
    return code == Exit::Error && err.substr(0, start.size()) == start;
  }
  Exit code = Exit::Ok;
  std::string err;
};

TEST_F(BuildOrder, RefusesWithItsMessages) {
  const std::pair<Args, std::string> cases[] = {
      {{"--qty", "2", "--notional", "1,000"}, "tovra trade check: --notional N is required\n"},
      {{"--class", "bond"}, "tovra trade check: --class bond: expected equity|option|crypto\n"},
      {{"--side", "hold"}, "tovra trade check: --side hold: expected buy|sell\n"},
      {{"--intent", "Closing"}, "tovra trade check: --intent Closing: expected opening|closing\n"},
      {{"--limit-debit", "2", "--limit", "1"},
       "tovra trade check: --limit and --limit-debit are mutually exclusive \u2014 a ticket has "
       "one net price\n"},
      {{"--limit", "inf"},
       "tovra trade check: --limit inf: expected a non-zero price\n"
       "  On a multi-leg ticket the net price is SIGNED: negative RECEIVES\n"},
      {{"--limit-credit", "-1"},
       "tovra trade check: --limit-credit -1: expected a positive amount\n"},
      {{"--limit", "-1.2"},
       "tovra trade: a negative limit is a NET CREDIT, which only a multi-leg\n"
       "  option ticket can have. This order has 1 leg(s) and asset class equity;\n"},
      {{"--class", "option", "--legs", "2", "--qty", "2", "--limit-credit", "1.2"},
       "tovra trade: --qty with a net CREDIT limit cannot size this order.\n"
       "  2 at a net credit of -1.20 is the premium RECEIVED, not the\n"},
      {{"--leg", "SPY:buy:1", "--leg", "SPY:hold:1"},
       "tovra trade: --leg SPY:hold:1: side \"hold\": expected buy|sell\n"
       "  spelling: --leg SYMBOL:buy|sell:QTY[:RATIO]\n"},
      {{"--legs", "101"}, "tovra trade check: --legs 101: at most 100 legs on one ticket\n"},
      // A one-leg ticket goes out as the order's symbol and side with the leg's quantity.
      {{"--leg", "Y:buy:1"},
       "tovra trade: the leg Y buy does not match the order (--symbol X, --side buy).\n"},
      {{"--side", "sell", "--leg", "x:buy:1", "--class", "option"},
       "tovra trade: the leg X buy does not match the order (--symbol X, --side sell).\n"},
      {{"--naked"},
       "tovra trade: the leg X sell does not match the order (--symbol X, --side "
       "buy).\n"},
      {{"--qty", "2", "--leg", "X:buy:3"},
       "tovra trade: --qty 2 does not match the first leg's quantity 3, which is what the "
       "ticket sends.\n"},
      {{"--symbol", "X\n[allowed]"},
       "tovra trade check: --symbol \"X\\n[allowed]\": expected printable ASCII with no "
       "blanks or control characters\n"},
      {{"--leg", "X Y:buy:1"},
       "tovra trade: --leg X Y:buy:1: symbol \"X Y\": expected printable ASCII with no blanks "
       "or control characters\n"},
  };
  for (const auto& [args, message] : cases) {
    build(args);
    EXPECT_TRUE(refused_with(message)) << message << "\ngot: " << err;
  }
  std::ostringstream out;
  EXPECT_EQ(build_order(order_options({"--notional", "1"}), {}, out).error(), Exit::Error);
  EXPECT_EQ(out.str(), "tovra trade check: --symbol is required\n");
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(BuildOrder, SizesAndSpellsLegs) {
  const auto note = [](const std::string& text) {
    return "tovra trade: NOTE: --notional " + text +
           "; judging the DERIVED value, which is what will be sent.\n";
  };
  const struct {
    Args args;
    double notional;
    std::optional<double> limit;
    std::string legs, err;  // legs as "side:symbol" words
  } cases[] = {
      {{"--class", "option", "--qty", "2", "--limit", "1.5", "--notional", "100"},
       300,
       1.5,
       "buy:X",
       note("100.00 does not match 2 @ limit 1.50 = 300.00")},
      {{"--qty", "1", "--limit", "0.5", "--notional", "0.95"},
       0.5,
       0.5,
       "buy:X",
       note("0.95 does not match 1 @ limit 0.50 = 0.50")},
      {{"--qty", "10", "--limit-debit", "10", "--notional", "105"}, 100, 10, "buy:X", ""},
      {{"--qty", "3", "--offline", "--notional", "50"}, 50, {}, "buy:X", ""},
      {{"--class", "option", "--limit-credit", "1.2", "--legs", "2"}, 1, -1.2, "buy:X buy:X", ""},
      {{"--legs", "3", "--naked"}, 1, {}, "sell:X buy:X buy:X", ""},
      {{"--legs", "0"}, 1, {}, "buy:X", ""},
      {{"--leg", "spy:buy:1", "--leg", "Q:sell:2:3", "--legs", "5", "--naked"},
       1,
       {},
       "buy:SPY sell:Q",
       ""},
      // Spelled legs size the order by the quantity the wire sends, as --qty does: a one-leg
      // ticket at its limit (or offline as stated), a multi-leg option ticket at a net debit;
      // a net credit keeps its stated defined risk.
      {{"--leg", "X:buy:1000", "--limit", "2"},
       2000,
       2,
       "buy:X",
       note("1.00 does not match 1000 @ limit 2.00 = 2000.00")},
      {{"--leg", "X:buy:1000", "--offline"}, 1, {}, "buy:X", ""},
      {{"--class", "option", "--leg", "A:buy:3", "--leg", "B:sell:3", "--limit-debit", "1.15"},
       345,
       1.15,
       "buy:A sell:B",
       note("1.00 does not match 3 @ limit 1.15 = 345.00")},
      {{"--class", "option", "--leg", "A:sell:3", "--leg", "B:buy:3", "--limit-credit", "1"},
       1,
       -1,
       "sell:A buy:B",
       ""},
  };
  for (const auto& c : cases) {
    const Order o = build(c.args);
    std::string legs;
    for (const auto& leg : o.legs) {
      if (!legs.empty()) legs += ' ';
      legs += vavev_aziz::word(leg.side);
      legs += ':';
      legs += leg.symbol;
    }
    EXPECT_EQ(code, Exit::Ok) << err;
    EXPECT_DOUBLE_EQ(o.notional, c.notional) << c.err;
    EXPECT_EQ(o.limit_price, c.limit);
    EXPECT_EQ(legs, c.legs);
    EXPECT_EQ(err, c.err);
  }
}

TEST_F(BuildOrder, IntentIsDerivedFromTheBookAndADeclarationMustAgree) {
  const std::vector<Position> book{{"X", "us_equity", "100", "", ""}};
  EXPECT_EQ(build({"--side", "sell", "--qty", "50", "--offline"}, book).intent, Intent::Closing);
  EXPECT_EQ(build({"--side", "sell", "--qty", "150", "--offline"}, book).intent, Intent::Opening);
  EXPECT_EQ(build({"--side", "sell"}, book).intent, Intent::Opening);  // no quantity
  build({"--side", "sell", "--qty", "50", "--offline", "--intent", "open"}, book);
  EXPECT_TRUE(refused_with(
      "tovra trade: --intent open disagrees with the live book, which makes this an order to "
      "Closing.\n  Intent decides whether the survival layer sees this as adding exposure, so it "
      "is derived from positions, not declared. Drop the flag to use the derived value.\n"));
  // Without positions a declaration stands as given.
  EXPECT_EQ(build({"--side", "sell", "--intent", "close"}).intent, Intent::Closing);
}

TEST(ParseLeg, ReadsTheSpellingOrSaysWhatIsWrong) {
  const std::pair<std::string, std::string> cases[] = {
      // a leg as "SYMBOL side QTY xRATIO", or the error
      {"spy:buy:1", "SPY buy 1 x1"},
      {" qqq :SELL:2.5:+3", "QQQ sell 2.5 x3"},
      {"SPY:buy", "SPY:buy: expected SYMBOL:side:QTY[:RATIO]"},
      {" :buy:1", " :buy:1: empty symbol"},
      {"SPY:hold:1", "SPY:hold:1: side \"hold\": expected buy|sell"},
      {"SPY:buy: 1", "SPY:buy: 1: qty \" 1\" is not a number"},
      {"SPY:buy:nan", "SPY:buy:nan: qty \"nan\" is not a number"},
      {"SPY:buy:0", "SPY:buy:0: qty must be positive"},
      {"SPY:buy:1:-2", "SPY:buy:1:-2: ratio \"-2\" is not a whole number"},
      {"SPY:buy:1:0", "SPY:buy:1:0: ratio must be at least 1"},
  };
  for (const auto& [text, expected] : cases) {
    auto leg = parse_leg(text);
    EXPECT_EQ(leg ? leg->symbol + " " + std::string(vavev_aziz::word(leg->side)) + " " +
                        vavev_aziz::numbers::shortest(leg->qty) + " x" +
                        std::to_string(leg->ratio_qty)
                  : leg.error(),
              expected);
  }
}

TEST_F(BuildOrder, PricesAtTheLiveMarketWhichFallsBackWhenItCannot) {
  broker.set_trade("SPY250117C00500000", 1.5);
  broker.set_positions(Json::array({{{"symbol", "SPY"}, {"qty", "5"}}}));
  const double before = vavev_aziz::platform::now_seconds();
  const Order order = build({"--symbol", "SPY250117C00500000", "--class", "option", "--qty", "2",
                             "--notional", "300", "--why", "because"});
  EXPECT_EQ(order.notional, 300);
  EXPECT_EQ(order.thesis, "because");
  EXPECT_GE(order.quoted_at, before);
  EXPECT_LE(order.quoted_at, vavev_aziz::platform::now_seconds());

  const std::vector<Position> snapshot{{"OLD", "", "1", "", ""}};
  std::ostringstream out;
  LiveMarket offline(snapshot, true, out), live(snapshot, false, out);
  EXPECT_EQ(offline.notional_now(order), std::nullopt);
  EXPECT_EQ(offline.positions()[0].symbol, "OLD");
  EXPECT_EQ(live.notional_now(order), 300.0);
  // A quote of zero or less is no price: nothing to size by, no drift to test.
  for (double nonsense : {0.0, -5.0}) {
    broker.set_trade("X", nonsense);
    EXPECT_EQ(live.notional_now(build({"--qty", "2", "--offline"})), std::nullopt);
    build({"--qty", "2"});
    EXPECT_TRUE(refused_with("tovra trade: REFUSED \u2014 no price for X (")) << err;
  }
  // Repriced the way the builder sizes: a sale at the higher of its limit and the market, a
  // ticket at market at its legs' net debit but never below what was judged; a ticket's limit
  // fixes what it pays.
  broker.set_trade("X", 10);
  EXPECT_EQ(
      live.notional_now(build({"--side", "sell", "--qty", "2", "--limit", "12", "--offline"})),
      24.0);
  broker.set_trade("SPY250117C00505000", 0.5);
  const Args ticket{"--class",  "option",
                    "--leg",    "SPY250117C00500000:buy:2",
                    "--leg",    "SPY250117C00505000:sell:2",
                    "--offline"};
  EXPECT_EQ(live.notional_now(build(ticket)), 200.0);
  EXPECT_EQ(live.notional_now(build(Args{"--notional", "300"} + ticket)), 300.0);
  EXPECT_EQ(live.notional_now(build(Args{"--limit-debit", "1"} + ticket)), std::nullopt);

  EXPECT_EQ(live.positions()[0].symbol, "SPY");
  broker.reply("GET", "/v2/positions", {500, "down"});
  EXPECT_EQ(live.positions()[0].symbol, "OLD");

  EXPECT_TRUE(Canned::from_word("approved")->ask("q", {}).approved());
  EXPECT_EQ(Canned::from_word("undeliverable")->ask("q", {}).undeliverable()->reason,
            "forced by --verdict");
  EXPECT_FALSE(Canned::from_word("Approved"));
}

}  // namespace
}  // namespace trade::testing
