#include "order_builder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "live_market.hpp"
#include "order_options.hpp"
#include "paths.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace alpaca = vavev_aziz::alpaca;
namespace numbers = vavev_aziz::numbers;
using vavev_aziz::Err;
using vavev_aziz::Intent;
using vavev_aziz::Leg;
using vavev_aziz::Order;
using vavev_aziz::Result;
using vavev_aziz::Side;
using Positions = std::vector<alpaca::Position>;

// The prefix of the option errors, under `ask` as under `check`; refusals take the program's.
constexpr std::string_view kWho = "tovra trade check";

// A step of the building: its value, or the exit status after its message was written.
template <class T>
using Step = Result<T, Exit>;

constexpr std::pair<std::string_view, Intent> kDeclaredIntents[] = {
    {"open", Intent::Opening},
    {"opening", Intent::Opening},
    {"close", Intent::Closing},
    {"closing", Intent::Closing},
};

// The three spellings of the one net price, in the order they are looked for.
const std::pair<std::string_view, std::optional<std::string> OrderOptions::*> kLimits[] = {
    {"--limit", &OrderOptions::limit},
    {"--limit-credit", &OrderOptions::limit_credit},
    {"--limit-debit", &OrderOptions::limit_debit},
};

// A stated notional this far from the derived one makes the NOTE line.
constexpr double kNotionalTolerance = 0.10;

// A symbol reaches the owner's question and the broker's request as it stands, so it may hold
// only printable ASCII: a line break or a look-alike blank could forge the question's first
// line, and no ticker, option or crypto pair needs either.
bool plain_symbol(std::string_view symbol) {
  return std::all_of(symbol.begin(), symbol.end(),
                     [](unsigned char c) { return c > 0x20 && c < 0x7F; });
}
constexpr std::string_view kPlainSymbol =
    "expected printable ASCII with no blanks or control characters";

std::string money(double v) {
  return numbers::fixed(v, 2);
}

// The NOTE line for a stated notional that differs from the one derived from q `at` price.
void note_if_differs(double stated, double q, std::string_view at, double price, double derived,
                     std::ostream& err) {
  if (!differs(derived, stated, kNotionalTolerance)) return;
  err << "tovra trade: NOTE: --notional " << money(stated) << " does not match "
      << numbers::shortest(q) << ' ' << at << ' ' << money(price) << " = " << money(derived)
      << "; judging the DERIVED value, which is what will be sent.\n";
}

// The intent `--intent` declares; none for "derive" (the default).
Step<std::optional<Intent>> declared_intent(const OrderOptions& o, std::ostream& err) {
  const std::string given = o.intent.value_or("derive");
  if (given == "derive") return std::optional<Intent>{};
  for (const auto& [word, intent] : kDeclaredIntents)
    if (given == word) return std::optional<Intent>(intent);
  return Err{fail(err, "--intent " + given + ": expected opening|closing", kWho)};
}

// The intent the order is judged with: the derived one, unless a declaration stands because
// nothing could be read of the book (offline, no credentials). A book read from the broker,
// even an empty one, says what the order does, and a declaration that disagrees is refused.
Step<Intent> judged_intent(const OrderOptions& o, std::optional<Intent> declared, Intent derived,
                           bool book_known, std::ostream& err) {
  if (!declared || *declared == derived) return derived;
  if (!book_known) return *declared;
  return Err{fail(err, fmt::format("--intent {} disagrees with the live book, which makes this "
                                   "an order to {}.\n"
                                   "  Intent decides whether the survival layer sees this as "
                                   "adding exposure, so it is derived from positions, not "
                                   "declared. Drop the flag to use the derived value.",
                                   *o.intent, vavev_aziz::debug_name(derived)))};
}

// The signed net limit price, or none for a market order.
Step<std::optional<double>> limit_of(const OrderOptions& o, std::ostream& err) {
  std::vector<std::string_view> given;
  std::string text;
  for (const auto& [name, field] : kLimits) {
    if (!(o.*field)) continue;
    if (given.empty()) text = *(o.*field);
    given.push_back(name);
  }
  if (given.empty()) return std::optional<double>{};
  if (given.size() > 1)
    return Err{fail(err,
                    fmt::format("{} are mutually exclusive \u2014 a ticket has one net price",
                                fmt::join(given, " and ")),
                    kWho)};

  const std::string_view name = given.front();
  const auto value = numbers::parse_decimal(text);
  const bool finite = value && std::isfinite(*value);
  if (name == "--limit") {
    if (finite && *value != 0) return std::optional<double>(*value);
    return Err{fail(err,
                    "--limit " + text +
                        ": expected a non-zero price\n"
                        "  On a multi-leg ticket the net price is SIGNED: negative RECEIVES\n"
                        "  (credit), positive PAYS (debit). Prefer --limit-credit N or\n"
                        "  --limit-debit N, which cannot be written the wrong way round.",
                    kWho)};
  }
  if (finite && *value > 0)
    return std::optional<double>(name == "--limit-credit" ? -*value : *value);
  return Err{fail(err, fmt::format("{} {}: expected a positive amount", name, text), kWho)};
}

// The notional to judge, the time of the live price behind it (0 when none was taken), and
// for a multi-leg ticket at market what one unit pays at the live prices (a credit negative).
struct Sizing {
  double notional = 0;
  double quoted_at = 0;
  std::optional<double> live_net = std::nullopt;
};

// What the wire will send as the order's quantity (the first leg's), and whether only spelled
// legs gave it, without `--qty`.
struct Quantity {
  double q = 0;
  bool from_legs = false;
};

// The refusal of an order whose quantity cannot be turned into money: `symbol` had no price.
Exit refuse_unpriced(std::string_view symbol, const alpaca::AlpacaError& error, std::ostream& err) {
  return fail(err, fmt::format("REFUSED \u2014 no price for {} ({}).\n"
                               "  A quantity cannot be turned into money, so the gate cannot "
                               "judge what\n"
                               "  the wire would send. Use --offline with an explicit --notional "
                               "if you\n"
                               "  are deliberately reasoning without live prices.",
                               symbol, error.display()));
}

// A multi-leg ticket at market pays its legs' net debit. It is judged at that when that is
// more than the stated amount, which otherwise stands: a net credit is sized by the defined
// risk stated for it.
Step<Sizing> ticket_at_market(const Order& order, double q, std::ostream& err) {
  auto net = net_debit(order, err);
  if (!net) return Err{refuse_unpriced(net.error().symbol, net.error().error, err)};
  const double quoted_at = vavev_aziz::platform::now_seconds();
  const double derived = *net * q * contract_multiplier(order.asset_class);
  if (!(derived > order.notional)) return Sizing{order.notional, 0, *net};
  note_if_differs(order.notional, q, "@", *net, derived, err);
  return Sizing{derived, quoted_at, *net};
}

// Sizes the order by the quantity the wire will send, at its limit or at the live price.
// `--qty` always asks for it; spelled legs size only the tickets whose amount the wire fixes.
Step<Sizing> size_of(const OrderOptions& o, const Order& order, Quantity quantity,
                     std::ostream& err) {
  const double q = quantity.q;
  const double stated = order.notional;
  const std::optional<double> limit = order.limit_price;
  const bool credit = limit && *limit < 0;
  const bool ticket = alpaca::wire_form(order).form == alpaca::Wire::Form::MultiLeg;
  if (!(q > 0)) return Sizing{stated};
  // Spelled legs: a one-leg ticket sends its quantity (a credit on it is refused further on), a
  // multi-leg option ticket its debit or its legs at market; a net credit keeps its stated
  // defined risk, and other multi-leg orders have no wire form at all.
  if (quantity.from_legs && (credit || (order.legs.size() > 1 && !ticket))) return Sizing{stated};

  if (credit)
    return Err{fail(err, fmt::format("--qty with a net CREDIT limit cannot size this order.\n"
                                     "  {} at a net credit of {} is the premium RECEIVED, not the\n"
                                     "  capital at risk, and every fraction-of-equity rule is "
                                     "denominated in risk.\n"
                                     "  State the defined risk explicitly:\n"
                                     "    --notional (width - credit) x qty x 100",
                                     numbers::shortest(q), money(*limit)))};
  const double m = contract_multiplier(order.asset_class);
  // A buy's limit caps what it pays, a debit ticket's what it pays net. A sale's limit is only
  // a floor, so a sale is weighed against the live price, except offline, where there is none.
  if (limit && (ticket || order.side == Side::Buy || o.offline)) {
    const double derived = std::fabs(m * *limit * q);
    note_if_differs(stated, q, "@ limit", *limit, derived, err);
    return Sizing{derived};
  }
  if (o.offline) return Sizing{stated};
  if (ticket) return ticket_at_market(order, q, err);

  auto price = latest_price(order.symbol, order.asset_class, err);
  if (!price) return Err{refuse_unpriced(order.symbol, price.error(), err)};
  const double quoted_at = vavev_aziz::platform::now_seconds();
  const double at = priced_at(order, *price);
  const double derived = std::fabs(m * q * at);
  note_if_differs(stated, q, at == *price ? "@" : "@ limit", at, derived, err);
  return Sizing{derived, quoted_at};
}

// The quantity the wire will send, once the legs are known. A `--qty` that disagrees with
// spelled legs is refused: the order would be judged at one size and sent at another.
Step<Quantity> quantity_of(const OrderOptions& o, const Order& order, std::ostream& err) {
  const double stated = decimal(o.qty).value_or(0.0);
  if (o.leg.empty()) return Quantity{stated};
  const double sent = order.legs.front().qty;
  if (!(stated > 0)) return Quantity{sent, true};
  if (stated == sent) return Quantity{stated};
  return Err{fail(err, fmt::format("--qty {} does not match the first leg's quantity {}, which is "
                                   "what the ticket sends.\n"
                                   "  Drop --qty, or make the legs say the quantity you mean.",
                                   numbers::shortest(stated), numbers::shortest(sent)))};
}

// A ticket the broker receives as one instrument (everything but a multi-leg option order)
// carries the order's own symbol and side with its leg's quantity: a leg that names another
// instrument or the other side would be judged as one order and sent as another.
Step<void> matches_single_leg(const Order& order, std::ostream& err) {
  if (order.legs.size() != 1) return {};
  const Leg& leg = order.legs.front();
  if (leg.symbol == order.symbol && leg.side == order.side) return {};
  return Err{fail(err, fmt::format("the leg {} {} does not match the order (--symbol {}, --side "
                                   "{}).\n"
                                   "  A one-leg ticket is sent as the order's own symbol and side "
                                   "with the leg's\n"
                                   "  quantity, so the two must agree: give the same symbol (in "
                                   "capitals) and side.",
                                   leg.symbol, vavev_aziz::word(leg.side), order.symbol,
                                   vavev_aziz::word(order.side)))};
}

// The broker trades what its wire form names, whatever the order says of itself: an option
// contract is an option, and an order that may be sent must name, in its symbol or its legs,
// the class and the underlying it is judged as.
Step<void> borne_out_by_wire(const Order& order, OrderTerms terms, std::ostream& err) {
  const auto agreement = terms.may_send ? alpaca::Agreement::Full : alpaca::Agreement::Class;
  const auto reason = alpaca::wire_disagrees(order, agreement);
  if (!reason) return {};
  return Err{fail(err, "REFUSED \u2014 " + *reason +
                           ".\n"
                           "  The gate judges what the broker will receive, so an order must be "
                           "described as it\n"
                           "  will be sent. Nothing was judged, written or sent.")};
}

Step<std::vector<Leg>> legs_of(const OrderOptions& o, const Order& order, std::ostream& err) {
  if (!o.leg.empty()) {
    std::vector<Leg> legs;
    for (const std::string& value : o.leg) {
      auto leg = parse_leg(value);
      if (!leg)
        return Err{fail(err, "--leg " + leg.error() +
                                 "\n"
                                 "  spelling: --leg SYMBOL:buy|sell:QTY[:RATIO]\n"
                                 "  e.g. --leg AMD260918P00430000:sell:1 --leg "
                                 "AMD260918P00420000:buy:1")};
      legs.push_back(std::move(*leg));
    }
    return legs;
  }

  const auto count = whole(o.legs).value_or(1);
  if (count > kMaxUniformLegs)
    return Err{
        fail(err, fmt::format("--legs {}: at most {} legs on one ticket", *o.legs, kMaxUniformLegs),
             kWho)};
  Leg leg;
  leg.symbol = order.symbol;
  leg.qty = decimal(o.qty).value_or(0.0);
  leg.side = order.side;
  std::vector<Leg> legs(count >= 2 ? count : 1, leg);
  if (o.naked) legs.front().side = Side::Sell;
  return legs;
}

// --- A multi-leg option ticket: the broker receives its legs alone, so they say what it is ---

// What a unit of the ticket pays, a credit negative, where that can be told: its limit, else at
// market the legs' net at the live prices.
std::optional<double> ticket_net(const Order& order, std::optional<double> live_net) {
  return order.limit_price ? order.limit_price : live_net;
}

// A ticket that pays is a buy, one that is paid a sell. Where that can be told a stated side
// must agree; otherwise (at market offline, or at a net of nothing) the stated side stands.
Step<Side> ticket_side(const OrderOptions& o, Side stated, std::optional<double> net,
                       std::ostream& err) {
  if (!net || *net == 0) return stated;
  const Side derived = *net > 0 ? Side::Buy : Side::Sell;
  if (!o.side || stated == derived) return derived;
  return Err{fail(err, fmt::format("--side {} disagrees with the ticket, which {} a net {}, so it "
                                   "is a {}.\n"
                                   "  A ticket is sent as its legs alone: it is a buy when it "
                                   "pays and a sale when it is\n"
                                   "  paid. Drop the flag to use the derived side.",
                                   *o.side, *net > 0 ? "pays" : "receives",
                                   *net > 0 ? "debit" : "credit", vavev_aziz::word(derived)))};
}

// What a unit of the ticket pays toward its loss: its debit limit; the credit its credit limit
// assures (no more than a stated `--credit`), taken away; at market the live net debit, a
// credit nothing assures counting as none. None at market without a price.
std::optional<double> paid_per_unit(const OrderOptions& o, const Order& order,
                                    std::optional<double> live_net) {
  const auto& limit = order.limit_price;
  if (!limit) return live_net ? std::optional<double>(std::max(*live_net, 0.0)) : std::nullopt;
  if (*limit > 0) return *limit;
  const double sure = -*limit;
  const auto stated = decimal(o.credit);
  // A stated credit may lower what is counted, never raise it, nor make it a debit.
  return -(stated ? (*stated > 0 ? std::min(*stated, sure) : 0.0) : sure);
}

// A ticket is worth at least what its legs can lose: its notional is raised to that (at market
// without a price, to what they lose at expiry alone, and for calls sold uncovered to the least
// they lose), since a smaller one would loosen every notional and fraction-of-equity rule and
// ask the owner about less than is at risk. The loss itself when the legs bound it and what the
// ticket pays is known; none otherwise.
std::optional<double> judge_by_legs(const OrderOptions& o, Order& order,
                                    std::optional<double> live_net, std::ostream& err) {
  const auto paid = paid_per_unit(o, order, live_net);
  const auto legs = alpaca::derive_max_loss(order, paid.value_or(0.0));
  if (!legs) return std::nullopt;
  if (legs->loss > order.notional) {
    err << "tovra trade: NOTE: --notional " << money(order.notional)
        << " is less than the legs can lose (" << money(legs->loss)
        << "); judging the DERIVED value.\n";
    order.notional = legs->loss;
  }
  if (!paid || !legs->bounded) return std::nullopt;
  return legs->loss;
}

// The ticket's identity from its legs: its symbol is their root (also where `--symbol` names a
// contract on it), and it closes exactly when every leg closes against the positions.
Step<void> identify_ticket(const OrderOptions& o, Order& order, std::optional<Intent> declared,
                           const Positions& positions, bool book_known, std::ostream& err) {
  if (auto root = alpaca::ticket_root(order)) order.symbol = std::move(*root);
  alpaca::derive_leg_reduces(order, positions);
  auto intent = judged_intent(o, declared, order.intent, book_known, err);
  if (!intent) return Err{intent.error()};
  order.intent = *intent;
  return {};
}

}  // namespace

bool differs(double derived, double stated, double tolerance) {
  return std::fabs(derived - stated) / std::max(derived, 1.0) > tolerance;
}

Result<Leg, std::string> parse_leg(std::string_view text) {
  const std::string whole(text);
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t colon = text.find(':', start);
    pieces.push_back(text.substr(start, colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (pieces.size() < 3 || pieces.size() > 4)
    return Err{whole + ": expected SYMBOL:side:QTY[:RATIO]"};

  Leg leg;
  const std::string_view symbol = vavev_aziz::text::trim(pieces[0]);
  if (symbol.empty()) return Err{whole + ": empty symbol"};
  if (!plain_symbol(symbol))
    return Err{whole + ": symbol " + vavev_aziz::text::debug_quoted(symbol) + ": " +
               std::string(kPlainSymbol)};
  leg.symbol = vavev_aziz::text::ascii_upper(symbol);

  const auto side = vavev_aziz::parse_side(pieces[1]);
  if (!side)
    return Err{whole + ": side " + vavev_aziz::text::debug_quoted(pieces[1]) +
               ": expected buy|sell"};
  leg.side = *side;

  // NaN and infinity read as numbers but are no quantity anyone can trade.
  const auto qty = numbers::parse_decimal(pieces[2]);
  if (!qty || !std::isfinite(*qty))
    return Err{whole + ": qty " + vavev_aziz::text::debug_quoted(pieces[2]) + " is not a number"};
  if (*qty <= 0) return Err{whole + ": qty must be positive"};
  leg.qty = *qty;

  if (pieces.size() == 4) {
    const auto ratio = numbers::parse_whole_u32(pieces[3]);
    if (!ratio)
      return Err{whole + ": ratio " + vavev_aziz::text::debug_quoted(pieces[3]) +
                 " is not a whole number"};
    if (*ratio == 0) return Err{whole + ": ratio must be at least 1"};
    leg.ratio_qty = *ratio;
  }
  return leg;
}

Result<BuiltOrder, Exit> build_order(const OrderOptions& o, const Positions& positions,
                                     std::ostream& err, OrderTerms terms) {
  if (!o.symbol) return Err{fail(err, "--symbol is required", kWho)};
  const std::string& symbol = *o.symbol;
  if (!plain_symbol(symbol))
    return Err{fail(
        err,
        "--symbol " + vavev_aziz::text::debug_quoted(symbol) + ": " + std::string(kPlainSymbol),
        kWho)};
  const auto notional = decimal(o.notional);
  if (!notional) return Err{fail(err, "--notional N is required", kWho)};
  const std::string class_text = o.asset_class.value_or("equity");
  const auto asset_class = vavev_aziz::parse_asset_class(class_text);
  if (!asset_class)
    return Err{fail(err, "--class " + class_text + ": expected equity|option|crypto", kWho)};
  const std::string side_text = o.side.value_or("buy");
  const auto side = vavev_aziz::parse_side(side_text);
  if (!side) return Err{fail(err, "--side " + side_text + ": expected buy|sell", kWho)};

  const auto declared = declared_intent(o, err);
  if (!declared) return Err{Exit::Error};
  const auto limit = limit_of(o, err);
  if (!limit) return Err{Exit::Error};

  Order order =
      Order::propose(symbol, *asset_class, *side, declared->value_or(Intent::Opening), *notional);
  order.thesis = o.why.value_or("");
  order.limit_price = *limit;

  // The legs come before the sizing, so the notional judged is the one the wire will send.
  auto legs = legs_of(o, order, err);
  if (!legs) return Err{Exit::Error};
  order.legs = std::move(*legs);
  const bool ticket = alpaca::wire_form(order).form == alpaca::Wire::Form::MultiLeg;
  if (!ticket && !matches_single_leg(order, err)) return Err{Exit::Error};
  if (!borne_out_by_wire(order, terms, err)) return Err{Exit::Error};
  // A book read from the broker, even an empty one, says what the order does; only where
  // nothing could be read (offline, no credentials) may a declaration stand.
  const bool book_known = terms.book_read || !positions.empty();
  if (ticket) {
    if (!identify_ticket(o, order, *declared, positions, book_known, err)) return Err{Exit::Error};
  } else {
    // Without a quantity nothing can be shown to fit inside a position, so nothing closes.
    const double qty = decimal(o.qty).value_or(std::numeric_limits<double>::max());
    const Intent derived =
        alpaca::derive_intent(symbol, *side, positions, qty) ? Intent::Closing : Intent::Opening;
    auto intent = judged_intent(o, *declared, derived, book_known, err);
    if (!intent) return Err{Exit::Error};
    order.intent = *intent;
  }

  const auto quantity = quantity_of(o, order, err);
  if (!quantity) return Err{Exit::Error};
  const auto sizing = size_of(o, order, *quantity, err);
  if (!sizing) return Err{Exit::Error};
  order.notional = sizing->notional;
  order.quoted_at = sizing->quoted_at;

  std::optional<double> loss;
  if (ticket) {
    const auto derived_side = ticket_side(o, *side, ticket_net(order, sizing->live_net), err);
    if (!derived_side) return Err{Exit::Error};
    order.side = *derived_side;
    loss = judge_by_legs(o, order, sizing->live_net, err);
  }

  if (order.limit_price && *order.limit_price < 0 && !ticket) {
    return Err{fail(err, fmt::format("a negative limit is a NET CREDIT, which only a multi-leg\n"
                                     "  option ticket can have. This order has {} leg(s) and asset "
                                     "class {};\n"
                                     "  a single contract's price cannot be negative.",
                                     order.legs.size(), vavev_aziz::word(order.asset_class)))};
  }
  return BuiltOrder{std::move(order), loss};
}

Result<Proposal, Exit> prepare_proposal(const OrderOptions& o, bool may_send, std::ostream& err) {
  LiveContext live = live_context(o, may_send);
  auto built = build_order(o, live.positions, err, {live.book_read, may_send});
  if (!built) return Err{built.error()};
  alpaca::derive_leg_facts(built->order, live.positions);
  if (!passes_equity_rule(live, built->order, err)) return Err{Exit::Error};
  auto gate = load_gate();
  if (!gate) return Err{fail(err, gate.error())};
  return Proposal{std::move(live), std::move(built->order), std::move(*gate), built->legs_loss};
}

}  // namespace trade
