// The rule gate: the owner's standing policy as an ordered table of rules.
//
// Each rule is a list of conditions on the order and a posture (deny, ask with a time limit,
// allow). The first rule whose conditions all hold decides; an order that no rule matches is
// asked about, never allowed. The table lives in trade.json, a JSON array of rule objects:
//
//   { "name": "paper-index-options",
//     "when": [ { "asset_class_is": "option" }, { "symbol_in": ["SPY", "QQQ"] }, "multi_leg" ],
//     "posture": "ask", "ttl_secs": 120 }
//
// A condition is the bare name of a kind without argument ("naked_short", "multi_leg",
// "reduces_risk") or a one-key object from the kind's name to its argument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vavev_aziz/order.hpp"
#include "vavev_aziz/support/duration.hpp"
#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz {

// One condition on an order. Only the argument that belongs to `kind` is meaningful.
struct Predicate {
  enum class Kind {
    AssetClassIs,
    SideIs,
    IntentIs,
    SymbolIn,
    SymbolNotIn,
    NotionalOver,
    NotionalUnder,
    NakedShort,
    MultiLeg,
    FractionOfEquityOver,
    ReducesRisk,
    PaperAccount,
    Count,  // the number of kinds, not a kind: tables by kind hold this many rows
  };
  Kind kind = Kind::ReducesRisk;
  AssetClass asset_class = AssetClass::Equity;
  Side side = Side::Buy;
  Intent intent = Intent::Opening;
  std::vector<std::string> symbols{};
  double threshold = 0;
  bool flag = false;

  static Predicate asset_class_is(AssetClass c);
  static Predicate side_is(Side s);
  static Predicate intent_is(Intent i);
  static Predicate symbol_in(std::vector<std::string> symbols);
  static Predicate symbol_not_in(std::vector<std::string> symbols);
  static Predicate notional_over(double v);
  static Predicate notional_under(double v);
  static Predicate naked_short();
  static Predicate multi_leg();
  static Predicate fraction_of_equity_over(double v);
  static Predicate reduces_risk();
  static Predicate paper_account(bool paper);

  // Whether the condition holds for the order, given the account equity and paper flag.
  bool holds(const Order& order, double equity, bool paper) const;

  // The debug form printed by the rules listing: ReducesRisk, AssetClassIs(Option),
  // NotionalUnder(2000.0), SymbolIn(["SPY", "QQQ"]), PaperAccount(true).
  std::string debug() const;
};

struct Posture {
  enum class Kind {
    Deny,
    Ask,
    Allow,
    Count,  // the number of postures, not a posture
  };
  Kind kind = Kind::Ask;
  std::uint64_t ttl_secs = 0;  // Ask only: seconds the owner has to answer

  static Posture deny() { return {Kind::Deny, 0}; }
  static Posture ask(std::uint64_t ttl_secs) { return {Kind::Ask, ttl_secs}; }
  static Posture allow() { return {Kind::Allow, 0}; }
};

struct Rule {
  std::string name;
  std::vector<Predicate> when;  // all must hold; empty always holds
  Posture posture;
};

enum class GrantedBy { Rule, Operator };

// "rule" / "operator", as written in files and reports.
std::string_view word(GrantedBy g);
// "Rule" / "Operator".
std::string_view debug_name(GrantedBy g);

// The gate's verdict for one order.
struct Decision {
  struct Allow {
    std::string rule;
    std::string client_order_id;
    GrantedBy granted_by = GrantedBy::Rule;
  };
  struct Ask {
    std::string rule;
    std::string question;
    std::string client_order_id;
    Duration ttl;  // whole seconds
  };
  struct Deny {
    std::string rule;
    std::string reason;
  };
  std::variant<Allow, Ask, Deny> value;

  const Allow* allow() const { return std::get_if<Allow>(&value); }
  const Ask* ask() const { return std::get_if<Ask>(&value); }
  const Deny* deny() const { return std::get_if<Deny>(&value); }
  // The deciding rule's name, whatever the kind.
  const std::string& rule() const;
};

// The rule name of the decision when no rule matched.
inline constexpr std::string_view kNoRuleMatched = "(no rule matched)";

struct Gate {
  std::vector<Rule> rules;

  // First match decides: allow, ask (question_for, the rule's time limit) or deny
  // ("rule '{}' denies {}" with the summary). No match asks under "(no rule matched)" with
  // 300 seconds. Reads nothing but its arguments.
  Decision evaluate(const Order& order, double equity, bool paper) const;
};

// The owner's question: the summary, " — " and the thesis when there is one (every character
// in it that acts rather than shows replaced by U+FFFD), then " [rule]".
std::string question_for(const Order& order, std::string_view rule_name);

// The five starter rules.
std::vector<Rule> default_rules();

// Reads the rule file's JSON text. The whole table is refused on the first error; the error
// text ends " at line L column C".
Result<std::vector<Rule>, std::string> read_rules(std::string_view json_text);

// Writes rules as pretty JSON (two-space indent), without a final line feed.
std::string write_rules(const std::vector<Rule>& rules);

}  // namespace vavev_aziz
