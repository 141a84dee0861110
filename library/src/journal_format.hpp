// The journal's line format, shared by its writer and its readers: the keys every entry knows,
// each entry's layout (tag word, keys in writing order, presence rules, how short its array
// form may be) and the line the writer makes of an event.
//
// A line is one compact JSON object whose first key is "event" with the tag word (open, close,
// refused, fill, halted), followed by every key of that event's entry in a fixed order, null
// standing for a missing value or a number that is not finite:
//
//   {"event":"close","id":"tovra-…","at":1714000000.5,"realized_pnl":-120.0,"outcome":"stopped",
//    "underlying_price":null,"note":""}
//
// Readers also take the keys in any order, and an array form: the tag word, then the values in
// key order, where an entry's trailing defaulted keys may be left off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/support/json_read.hpp"

namespace vavev_aziz::journal_format {

// Every key any entry knows, plus "event". Keys are matched to these once, as a reader meets
// them, so the entries compare small numbers rather than texts.
enum class Key : std::uint8_t {
  Event,
  Id,
  At,
  Symbol,
  Structure,
  Thesis,
  IvRank,
  Iv,
  UnderlyingPrice,
  Qty,
  ShortDelta,
  Credit,
  MaxLoss,
  Dte,
  GateRule,
  ApprovedBy,
  By,
  Exit,
  Closes,
  RealizedPnl,
  Outcome,
  Note,
  Verdict,
  Status,
  FilledQty,
  IntendedQty,
  AvgPrice,
  ActualCredit,
  Kind,
  Reason,
  Equity,
  HighWater,
  DeniedFingerprint,
  DeniedUntil,
  Unknown,
};
inline constexpr std::size_t kKeyCount = static_cast<std::size_t>(Key::Unknown);

inline constexpr std::array<std::string_view, kKeyCount> kKeyNames = {
    "event",         "id",           "at",
    "symbol",        "structure",    "thesis",
    "iv_rank",       "iv",           "underlying_price",
    "qty",           "short_delta",  "credit",
    "max_loss",      "dte",          "gate_rule",
    "approved_by",   "by",           "exit",
    "closes",        "realized_pnl", "outcome",
    "note",          "verdict",      "status",
    "filled_qty",    "intended_qty", "avg_price",
    "actual_credit", "kind",         "reason",
    "equity",        "high_water",   "denied_fingerprint",
    "denied_until",
};
// Every key has a name of its own: a key added without one would leave an empty name behind.
static_assert([] {
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (kKeyNames[i].empty()) return false;
    for (std::size_t j = 0; j < i; ++j)
      if (kKeyNames[j] == kKeyNames[i]) return false;
  }
  return true;
}());

constexpr std::string_view name_of(Key k) {
  return kKeyNames[static_cast<std::size_t>(k)];
}

// The known key spelled exactly `text`, or Unknown.
Key key_of(std::string_view text);

// Whether a null is accepted follows from the member's type: only the optional ones take it.
using json::Presence;

template <class E>
using Member =
    std::variant<std::string E::*, double E::*, std::optional<double> E::*,
                 std::optional<std::uint32_t> E::*, bool E::*, std::optional<std::string> E::*>;

template <class E>
struct FieldSpec {
  Key key;
  Member<E> member;
  Presence presence;
};

// One entry's line layout: tag word, keys in writing order, and how short its array form may
// be (the number of values before the first key that may be left off).
template <class E>
struct Spec;

template <>
struct Spec<OpenEntry> {
  using E = OpenEntry;
  static constexpr std::string_view tag = "open";
  static constexpr std::size_t min_positions = 15;
  static constexpr std::array<FieldSpec<E>, 18> fields{{
      {Key::Id, &E::id, Presence::Required},
      {Key::At, &E::at, Presence::Required},
      {Key::Symbol, &E::symbol, Presence::Required},
      {Key::Structure, &E::structure, Presence::Required},
      {Key::Thesis, &E::thesis, Presence::Required},
      {Key::IvRank, &E::iv_rank, Presence::Optional},
      {Key::Iv, &E::iv, Presence::Optional},
      {Key::UnderlyingPrice, &E::underlying_price, Presence::Optional},
      {Key::Qty, &E::qty, Presence::Optional},
      {Key::ShortDelta, &E::short_delta, Presence::Optional},
      {Key::Credit, &E::credit, Presence::Optional},
      {Key::MaxLoss, &E::max_loss, Presence::Optional},
      {Key::Dte, &E::dte, Presence::Optional},
      {Key::GateRule, &E::gate_rule, Presence::Required},
      {Key::ApprovedBy, &E::approved_by, Presence::Required},
      {Key::By, &E::by, Presence::Defaulted},
      {Key::Exit, &E::exit, Presence::Defaulted},
      {Key::Closes, &E::closes, Presence::Optional},
  }};
};

template <>
struct Spec<CloseEntry> {
  using E = CloseEntry;
  static constexpr std::string_view tag = "close";
  static constexpr std::size_t min_positions = 5;
  static constexpr std::array<FieldSpec<E>, 6> fields{{
      {Key::Id, &E::id, Presence::Required},
      {Key::At, &E::at, Presence::Required},
      {Key::RealizedPnl, &E::realized_pnl, Presence::Required},
      {Key::Outcome, &E::outcome, Presence::Required},
      {Key::UnderlyingPrice, &E::underlying_price, Presence::Optional},
      {Key::Note, &E::note, Presence::Defaulted},
  }};
};

template <>
struct Spec<RefusedEntry> {
  using E = RefusedEntry;
  static constexpr std::string_view tag = "refused";
  static constexpr std::size_t min_positions = 7;
  static constexpr std::array<FieldSpec<E>, 9> fields{{
      {Key::Id, &E::id, Presence::Required},
      {Key::At, &E::at, Presence::Required},
      {Key::By, &E::by, Presence::Defaulted},
      {Key::Symbol, &E::symbol, Presence::Required},
      {Key::Thesis, &E::thesis, Presence::Required},
      {Key::Verdict, &E::verdict, Presence::Required},
      {Key::GateRule, &E::gate_rule, Presence::Required},
      {Key::DeniedFingerprint, &E::denied_fingerprint, Presence::Optional},
      {Key::DeniedUntil, &E::denied_until, Presence::Optional},
  }};
};

template <>
struct Spec<FillEntry> {
  using E = FillEntry;
  static constexpr std::string_view tag = "fill";
  static constexpr std::size_t min_positions = 7;
  static constexpr std::array<FieldSpec<E>, 8> fields{{
      {Key::Id, &E::id, Presence::Required},
      {Key::At, &E::at, Presence::Required},
      {Key::Status, &E::status, Presence::Required},
      {Key::FilledQty, &E::filled_qty, Presence::Required},
      {Key::IntendedQty, &E::intended_qty, Presence::Required},
      {Key::AvgPrice, &E::avg_price, Presence::Optional},
      {Key::ActualCredit, &E::actual_credit, Presence::Optional},
      {Key::Note, &E::note, Presence::Defaulted},
  }};
};

template <>
struct Spec<HaltEntry> {
  using E = HaltEntry;
  static constexpr std::string_view tag = "halted";
  static constexpr std::size_t min_positions = 6;
  static constexpr std::array<FieldSpec<E>, 6> fields{{
      {Key::At, &E::at, Presence::Required},
      {Key::Kind, &E::kind, Presence::Required},
      {Key::Reason, &E::reason, Presence::Required},
      {Key::Equity, &E::equity, Presence::Required},
      {Key::HighWater, &E::high_water, Presence::Required},
      {Key::IvRank, &E::iv_rank, Presence::Optional},
  }};
};

using EventValue = decltype(Event::value);
inline constexpr std::size_t kKinds = std::variant_size_v<EventValue>;
template <std::size_t I>
using EntryAt = std::variant_alternative_t<I, EventValue>;

template <std::size_t... I>
constexpr std::array<std::string_view, kKinds> tags(std::index_sequence<I...>) {
  return {Spec<EntryAt<I>>::tag...};
}
inline constexpr auto kTags = tags(std::make_index_sequence<kKinds>{});

// For each key, its position among the entry's fields, or -1 when the entry lacks it.
template <class E>
constexpr std::array<int, kKeyCount> field_index() {
  std::array<int, kKeyCount> index{};
  index.fill(-1);
  for (std::size_t i = 0; i < Spec<E>::fields.size(); ++i)
    index[static_cast<std::size_t>(Spec<E>::fields[i].key)] = static_cast<int>(i);
  return index;
}
template <class E>
inline constexpr auto kFieldIndex = field_index<E>();

// Which kinds of event a reader builds; lines of other kinds are dropped.
using KindMask = unsigned;
inline constexpr KindMask kAllKinds = (1u << kKinds) - 1;
template <class... E>
constexpr KindMask kinds() {
  return ((1u << EventValue(std::in_place_type<E>).index()) | ...);
}

// A set of keys, for a reader that keeps the values of only some of them.
using KeyMask = std::uint64_t;
static_assert(kKeyCount <= 64);
constexpr KeyMask key_bit(Key k) {
  return KeyMask{1} << static_cast<std::size_t>(k);
}
inline constexpr KeyMask kAllKeys = ~KeyMask{0};

// The line the writer makes of an event, without its line feed.
std::string line_of(const Event& event);

// The longest line the journal holds: readers skip a longer one, and the writer refuses to
// write one. Far above any line of a real journal (a few hundred bytes).
inline constexpr std::size_t kLongestLine = std::size_t{64} << 20;

}  // namespace vavev_aziz::journal_format
