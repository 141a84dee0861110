#include "vavev_aziz/gate.hpp"

#include <array>

#include <fmt/format.h>

#include "enum_table.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace {

using json::Error;
using json::Json;
using json::Reader;
using json::Tok;
using Kind = Predicate::Kind;

enum class Arg { None, AssetClass, Side, Intent, Symbols, Number, Flag };

struct KindInfo {
  Kind kind;
  std::string_view json_name;
  std::string_view debug_name;
  Arg arg;
};

// The twelve kinds of condition, in their fixed order.
constexpr KindInfo kKinds[] = {
    {Kind::AssetClassIs, "asset_class_is", "AssetClassIs", Arg::AssetClass},
    {Kind::SideIs, "side_is", "SideIs", Arg::Side},
    {Kind::IntentIs, "intent_is", "IntentIs", Arg::Intent},
    {Kind::SymbolIn, "symbol_in", "SymbolIn", Arg::Symbols},
    {Kind::SymbolNotIn, "symbol_not_in", "SymbolNotIn", Arg::Symbols},
    {Kind::NotionalOver, "notional_over", "NotionalOver", Arg::Number},
    {Kind::NotionalUnder, "notional_under", "NotionalUnder", Arg::Number},
    {Kind::NakedShort, "naked_short", "NakedShort", Arg::None},
    {Kind::MultiLeg, "multi_leg", "MultiLeg", Arg::None},
    {Kind::FractionOfEquityOver, "fraction_of_equity_over", "FractionOfEquityOver", Arg::Number},
    {Kind::ReducesRisk, "reduces_risk", "ReducesRisk", Arg::None},
    {Kind::PaperAccount, "paper_account", "PaperAccount", Arg::Flag},
};
static_assert(indexed_by(kKinds, &KindInfo::kind));

const KindInfo& info(Kind k) {
  return kKinds[static_cast<std::size_t>(k)];
}

// The kinds' JSON names in the same order, for the unknown-variant message.
constexpr auto kKindNames = column(kKinds, &KindInfo::json_name);

// The posture words of the rule file, in the order of Posture::Kind: read and written alike.
struct PostureWord {
  Posture::Kind kind;
  std::string_view word;
};
constexpr PostureWord kPostures[] = {
    {Posture::Kind::Deny, "deny"},
    {Posture::Kind::Ask, "ask"},
    {Posture::Kind::Allow, "allow"},
};
static_assert(indexed_by(kPostures, &PostureWord::kind));
constexpr auto kPostureWords = column(kPostures, &PostureWord::word);

bool symbol_listed(const std::vector<std::string>& symbols, std::string_view symbol) {
  for (const auto& s : symbols)
    if (same_instrument(s, symbol)) return true;
  return false;
}

// Opens a one-key object {"key": value}: consumes the brace (already peeked) and the key.
Result<const json::Token*, Error> open_single_key(Reader& r) {
  r.next();
  const auto& key = r.next();
  if (key.kind == Tok::Error) return Err{r.error_at(key.text, key.end)};
  if (key.kind != Tok::Key) return Err{r.error_at("expected a map with a single key", key.end)};
  return &key;
}

// Closes a one-key object after its value: the next token must end it.
Result<void, Error> close_single_key(Reader& r) {
  const auto& close = r.next();
  if (close.kind == Tok::Error) return Err{r.error_at(close.text, close.end)};
  if (close.kind != Tok::EndObject)
    return Err{r.error_at("expected a map with a single key", close.end)};
  return {};
}

// An enumeration word: exactly one of `words`, or the one-key object {"word": null}.
Result<std::size_t, Error> read_word(Reader& r, std::span<const std::string_view> words) {
  if (r.peek().kind != Tok::BeginObject) return json::read_variant(r, words);
  auto key = open_single_key(r);
  if (!key) return Err{key.error()};
  auto index = json::variant_index(r, (*key)->text, words, (*key)->end);
  if (!index) return index;
  if (!r.null()) return Err{r.unexpected("unit variant")};
  if (auto c = close_single_key(r); !c) return Err{c.error()};
  return index;
}

// An enumeration argument: one of `values`, by its written word; errors list the words in the
// order of `values`.
template <class E, std::size_t N>
Result<void, Error> read_enum(Reader& r, const E (&values)[N], E& target) {
  std::array<std::string_view, N> words;
  for (std::size_t i = 0; i < N; ++i)
    words[i] = word(values[i]);
  auto index = read_word(r, words);
  if (!index) return Err{index.error()};
  target = values[*index];
  return {};
}

Result<void, Error> read_argument(Reader& r, Arg arg, Predicate& p) {
  switch (arg) {
    case Arg::None:
      if (!r.null()) return Err{r.unexpected("unit variant")};
      return {};
    case Arg::AssetClass:
      return read_enum(r, {AssetClass::Equity, AssetClass::Option, AssetClass::Crypto},
                       p.asset_class);
    case Arg::Side:
      return read_enum(r, {Side::Buy, Side::Sell}, p.side);
    case Arg::Intent:
      return read_enum(r, {Intent::Opening, Intent::Closing}, p.intent);
    case Arg::Symbols:
      return json::read_array(r, "a sequence", [&p](Reader& r) -> Result<void, Error> {
        auto s = r.string();
        if (!s) return Err{s.error()};
        p.symbols.push_back(std::move(*s));
        return {};
      });
    case Arg::Number:
      return r.read_into(p.threshold);
    case Arg::Flag:
      return r.read_into(p.flag);
  }
  return {};
}

Result<const KindInfo*, Error> find_kind(const Reader& r, const std::string& name,
                                         std::size_t end) {
  auto i = json::variant_index(r, name, kKindNames, end);
  if (!i) return Err{i.error()};
  return &kKinds[*i];
}

Result<Predicate, Error> read_predicate(Reader& r) {
  Predicate p;
  if (r.peek().kind == Tok::String) {
    const auto& t = r.next();
    auto k = find_kind(r, t.text, t.end);
    if (!k) return Err{k.error()};
    if ((*k)->arg != Arg::None)
      return Err{r.error_at("invalid type: unit variant, expected newtype variant", t.end)};
    p.kind = (*k)->kind;
    return p;
  }
  if (r.peek().kind != Tok::BeginObject) return Err{r.unexpected("a predicate")};
  auto key = open_single_key(r);
  if (!key) return Err{key.error()};
  auto k = find_kind(r, (*key)->text, (*key)->end);
  if (!k) return Err{k.error()};
  p.kind = (*k)->kind;
  if (auto a = read_argument(r, (*k)->arg, p); !a) return Err{a.error()};
  if (auto c = close_single_key(r); !c) return Err{c.error()};
  return p;
}

// A posture word, stored as the kind it names.
Result<void, Error> read_posture(Reader& r, Posture::Kind& kind) {
  auto index = json::read_variant(r, kPostureWords);
  if (!index) return Err{index.error()};
  kind = kPostures[*index].kind;
  return {};
}

Result<Rule, Error> read_rule(Reader& r) {
  Rule rule;
  auto posture = Posture::Kind::Deny;
  // "ttl_secs" matters only for an ask rule, which may come later in the object; collect it.
  int ttl_count = 0;
  std::optional<std::uint64_t> ttl;
  std::optional<Error> ttl_error;

  auto done = json::read_object(
      r, "struct Rule",
      {
          json::field("name", rule.name, json::Presence::Required),
          json::Field{"when", json::Presence::Defaulted,
                      [&rule](Reader& r) {
                        return json::read_array(r, "a sequence",
                                                [&rule](Reader& r) -> Result<void, Error> {
                                                  auto p = read_predicate(r);
                                                  if (!p) return Err{p.error()};
                                                  rule.when.push_back(std::move(*p));
                                                  return {};
                                                });
                      }},
          json::Field{"posture", json::Presence::Required,
                      [&posture](Reader& r) { return read_posture(r, posture); }},
      },
      [&](Reader& r, const std::string& key) -> Result<void, Error> {
        if (key != "ttl_secs" || ++ttl_count > 1) return r.skip();
        auto v = r.u64();
        if (v) {
          ttl = *v;
          return {};
        }
        ttl_error = v.error();
        return r.skip();
      });
  if (!done) return Err{done.error()};

  switch (posture) {
    case Posture::Kind::Deny:
      rule.posture = Posture::deny();
      break;
    case Posture::Kind::Allow:
      rule.posture = Posture::allow();
      break;
    case Posture::Kind::Ask:
    case Posture::Kind::Count:  // never read: the words are the table's rows
      if (ttl_count == 0) return Err{r.error_at("missing field `ttl_secs`", r.last_end())};
      if (ttl_count > 1) return Err{r.error_at("duplicate field `ttl_secs`", r.last_end())};
      if (ttl_error) return Err{*ttl_error};
      rule.posture = Posture::ask(*ttl);
  }
  return rule;
}

Json predicate_json(const Predicate& p) {
  const auto& k = info(p.kind);
  const std::string name(k.json_name);
  switch (k.arg) {
    case Arg::None:
      return name;
    case Arg::AssetClass:
      return Json{{name, word(p.asset_class)}};
    case Arg::Side:
      return Json{{name, word(p.side)}};
    case Arg::Intent:
      return Json{{name, word(p.intent)}};
    case Arg::Symbols: {
      Json list = Json::array();
      for (const auto& s : p.symbols)
        list.push_back(s);
      Json o = Json::object();
      o[name] = std::move(list);
      return o;
    }
    case Arg::Number:
      return Json{{name, p.threshold}};
    case Arg::Flag:
      return Json{{name, p.flag}};
  }
  return name;
}

}  // namespace

Predicate Predicate::asset_class_is(AssetClass c) {
  return {.kind = Kind::AssetClassIs, .asset_class = c};
}
Predicate Predicate::side_is(Side s) {
  return {.kind = Kind::SideIs, .side = s};
}
Predicate Predicate::intent_is(Intent i) {
  return {.kind = Kind::IntentIs, .intent = i};
}
Predicate Predicate::symbol_in(std::vector<std::string> symbols) {
  return {.kind = Kind::SymbolIn, .symbols = std::move(symbols)};
}
Predicate Predicate::symbol_not_in(std::vector<std::string> symbols) {
  return {.kind = Kind::SymbolNotIn, .symbols = std::move(symbols)};
}
Predicate Predicate::notional_over(double v) {
  return {.kind = Kind::NotionalOver, .threshold = v};
}
Predicate Predicate::notional_under(double v) {
  return {.kind = Kind::NotionalUnder, .threshold = v};
}
Predicate Predicate::naked_short() {
  return {.kind = Kind::NakedShort};
}
Predicate Predicate::multi_leg() {
  return {.kind = Kind::MultiLeg};
}
Predicate Predicate::fraction_of_equity_over(double v) {
  return {.kind = Kind::FractionOfEquityOver, .threshold = v};
}
Predicate Predicate::reduces_risk() {
  return {.kind = Kind::ReducesRisk};
}
Predicate Predicate::paper_account(bool paper) {
  return {.kind = Kind::PaperAccount, .flag = paper};
}

bool Predicate::holds(const Order& order, double equity, bool paper) const {
  switch (kind) {
    case Kind::AssetClassIs:
      return order.asset_class == asset_class;
    case Kind::SideIs:
      return order.side == side;
    case Kind::IntentIs:
      return order.intent == intent;
    case Kind::SymbolIn:
      return symbol_listed(symbols, order.symbol);
    case Kind::SymbolNotIn:
      return !symbol_listed(symbols, order.symbol);
    case Kind::NotionalOver:
      return order.notional > threshold;
    case Kind::NotionalUnder:
      return order.notional < threshold;
    case Kind::NakedShort:
      return order.naked_short();
    case Kind::MultiLeg:
      return order.legs.size() > 1;
    // Without a positive equity no fraction can be formed: fail closed, the rule holds.
    case Kind::FractionOfEquityOver:
      return equity <= 0 || order.notional / equity > threshold;
    case Kind::ReducesRisk:
      return order.reduces_risk();
    case Kind::PaperAccount:
      return paper == flag;
    case Kind::Count:
      break;
  }
  return false;
}

std::string Predicate::debug() const {
  const auto& k = info(kind);
  std::string arg;
  switch (k.arg) {
    case Arg::None:
      return std::string(k.debug_name);
    case Arg::AssetClass:
      arg = debug_name(asset_class);
      break;
    case Arg::Side:
      arg = debug_name(side);
      break;
    case Arg::Intent:
      arg = debug_name(intent);
      break;
    case Arg::Symbols:
      arg = "[";
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i > 0) arg += ", ";
        arg += text::debug_quoted(symbols[i]);
      }
      arg += "]";
      break;
    case Arg::Number:
      arg = numbers::debug(threshold);
      break;
    case Arg::Flag:
      arg = flag ? "true" : "false";
      break;
  }
  return fmt::format("{}({})", k.debug_name, arg);
}

std::string_view word(GrantedBy g) {
  return g == GrantedBy::Rule ? "rule" : "operator";
}
std::string_view debug_name(GrantedBy g) {
  return g == GrantedBy::Rule ? "Rule" : "Operator";
}

const std::string& Decision::rule() const {
  return std::visit([](const auto& d) -> const std::string& { return d.rule; }, value);
}

Decision Gate::evaluate(const Order& order, double equity, bool paper) const {
  for (const auto& rule : rules) {
    bool all = true;
    for (const auto& p : rule.when) {
      if (!p.holds(order, equity, paper)) {
        all = false;
        break;
      }
    }
    if (!all) continue;
    switch (rule.posture.kind) {
      case Posture::Kind::Allow:
        return {Decision::Allow{rule.name, order.client_order_id, GrantedBy::Rule}};
      // What is not an allow or a deny is asked about, never allowed.
      case Posture::Kind::Ask:
      case Posture::Kind::Count:
        return {Decision::Ask{rule.name, question_for(order, rule.name), order.client_order_id,
                              Duration::seconds(rule.posture.ttl_secs)}};
      case Posture::Kind::Deny:
        return {Decision::Deny{rule.name,
                               fmt::format("rule '{}' denies {}", rule.name, order.summary())}};
    }
  }
  const std::string name(kNoRuleMatched);
  return {Decision::Ask{name, question_for(order, name), order.client_order_id,
                        Duration::seconds(300)}};
}

std::string question_for(const Order& order, std::string_view rule_name) {
  std::string q = order.summary();
  // The thesis is the agent's free text and the owner reads it in a message: shown as it
  // stands, a line break or a direction override in it could pass for the question itself.
  if (!order.thesis.empty()) q += " \u2014 " + text::shown_safely(order.thesis);
  return fmt::format("{} [{}]", q, rule_name);
}

std::vector<Rule> default_rules() {
  return {
      {"exits-are-free", {Predicate::reduces_risk()}, Posture::allow()},
      {"naked-short-options-never", {Predicate::naked_short()}, Posture::deny()},
      {"big-ticket-always-asks", {Predicate::fraction_of_equity_over(0.1)}, Posture::ask(600)},
      {"options-ask-briefly", {Predicate::asset_class_is(AssetClass::Option)}, Posture::ask(300)},
      {"small-equity-opens",
       {Predicate::asset_class_is(AssetClass::Equity), Predicate::notional_under(2000.0)},
       Posture::allow()},
  };
}

Result<std::vector<Rule>, std::string> read_rules(std::string_view json_text) {
  Reader r(json_text);
  std::vector<Rule> rules;
  auto done = json::read_array(r, "a sequence", [&rules](Reader& r) -> Result<void, Error> {
    auto rule = read_rule(r);
    if (!rule) return Err{rule.error()};
    rules.push_back(std::move(*rule));
    return {};
  });
  if (!done) return Err{done.error()};
  if (auto end = r.finish(); !end) return Err{end.error()};
  return rules;
}

std::string write_rules(const std::vector<Rule>& rules) {
  Json out = Json::array();
  for (const auto& rule : rules) {
    Json when = Json::array();
    for (const auto& p : rule.when)
      when.push_back(predicate_json(p));
    Json o = Json::object();
    o["name"] = rule.name;
    o["when"] = std::move(when);
    o["posture"] = kPostures[static_cast<std::size_t>(rule.posture.kind)].word;
    if (rule.posture.kind == Posture::Kind::Ask) o["ttl_secs"] = rule.posture.ttl_secs;
    out.push_back(std::move(o));
  }
  return json::pretty(out);
}

}  // namespace vavev_aziz
