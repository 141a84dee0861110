// The fast parser: a journal line's slots from simdjson's DOM parser. It checks the whole line
// in one pass before any value is looked at, so when it accepts a line every value in it is
// JSON and only the values standing directly in the line's container need collecting. It must
// read every line it answers for as the walk would: whatever it refuses, and a value it holds
// otherwise than the walk reads it, is not its to answer for.
#include <array>
#include <string_view>
#include <utility>

#include <simdjson.h>

#include "journal_entries.hpp"
#include "journal_lines.hpp"
#include "journal_slots.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::journal_format {

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace {

// It takes no line nested deeper than this (the root is level 1), well inside the walk's
// limit, and no line longer than this: its buffers take about fourteen bytes per byte of the
// line, where the walk's take four, and a damaged journal may hold one very long line.
constexpr std::size_t kDomDepth = json::kDepthLimit / 2;
constexpr std::size_t kDomLongest = 64 << 10;

// A value's slot; false when the parser holds the value otherwise than the walk reads it. The
// parser refuses a number out of a double's range, so every number it holds is finite; but it
// keeps no sign on an integer zero, so "-0" (not whole, and negative) looks like "0".
bool take_slot(simdjson::dom::element v, Key key, Slot& s) {
  using T = simdjson::dom::element_type;
  s.key = key;
  switch (v.type()) {
    case T::NULL_VALUE:
      s.kind = Val::Null;
      return true;
    case T::BOOL:
      s.kind = Val::Bool;
      s.flag = v.get_bool().value_unsafe();
      return true;
    case T::INT64: {
      const std::int64_t n = v.get_int64().value_unsafe();
      if (n == 0) return false;
      s.kind = Val::Number;
      s.number = static_cast<double>(n);  // rounded to nearest, as reading the digits would
      s.whole = n > 0;
      return true;
    }
    case T::UINT64:
      s.kind = Val::Number;
      s.number = static_cast<double>(v.get_uint64().value_unsafe());
      s.whole = true;
      return true;
    case T::DOUBLE:
      s.kind = Val::Number;
      s.number = v.get_double().value_unsafe();
      s.whole = false;
      return true;
    case T::STRING:
      s.kind = Val::Text;
      s.text = v.get_string().value_unsafe();
      return true;
    case T::ARRAY:
    case T::OBJECT:
      s.kind = Val::Container;
      return true;
  }
  return false;
}

// Field I of the entry, from the next member of the line.
template <class E, std::size_t I>
bool take_next(simdjson::dom::object::iterator& it, const simdjson::dom::object::iterator& end,
               KeyMask kept, E& entry) {
  constexpr Key key = Spec<E>::fields[I].key;
  if (++it == end || !text::same_bytes((*it).key, name_of(key))) return false;
  Slot s;
  return take_slot((*it).value, key, s) && fill_field<E, I>(&s, kept, entry);
}

// Fills the entry from a line laid out as the writer lays it out: the tag, then every key of
// the entry once, in writing order. The line's first bytes have shown its tag (kind_from_start),
// so reading starts at the member after it. False for any other layout, and for a line whose
// values make no entry (the slots of any layout then tell which it is).
template <class E, std::size_t... I>
[[gnu::flatten]] bool in_writing_order(const simdjson::dom::object& members, KeyMask kept, E& entry,
                                       std::index_sequence<I...>) {
  auto it = members.begin();
  const auto end = members.end();
  if (it == end) return false;
  return (take_next<E, I>(it, end, kept, entry) && ...) && ++it == end;
}

using InWritingOrder = bool (*)(const simdjson::dom::object&, KeyMask, Event&);
template <std::size_t I>
bool event_in_writing_order(const simdjson::dom::object& members, KeyMask kept, Event& event) {
  return in_writing_order(members, kept, std::get<I>(event.value),
                          std::make_index_sequence<Spec<EntryAt<I>>::fields.size()>{});
}
template <std::size_t... I>
constexpr std::array<InWritingOrder, kKinds> writing_order_readers(std::index_sequence<I...>) {
  return {&event_in_writing_order<I>...};
}
constexpr auto kInWritingOrder = writing_order_readers(std::make_index_sequence<kKinds>{});

}  // namespace

struct DomSlots::Parser {
  simdjson::dom::parser dom;
  // Without its depth limit set, the parser takes no line at all.
  bool usable = !dom.allocate(4096, kDomDepth);
  simdjson::dom::element root;
};

DomSlots::DomSlots() : parser_(std::make_unique<Parser>()) {}

DomSlots::~DomSlots() = default;

bool DomSlots::parse(std::string_view line) {
  return parser_->usable && line.size() <= kDomLongest &&
         !parser_->dom.parse(line.data(), line.size(), false).get(parser_->root);
}

const Event* DomSlots::writer_layout(std::size_t kind, LineEntries& entries) const {
  Event* event = entries.entry_of(kind);
  if (!event || parser_->root.type() != simdjson::dom::element_type::OBJECT) return nullptr;
  const simdjson::dom::object members = parser_->root.get_object().value_unsafe();
  return kInWritingOrder[kind](members, entries.kept(), *event) ? event : nullptr;
}

Parsed DomSlots::any_layout(LineSlots& out) const {
  using T = simdjson::dom::element_type;
  out.values.clear();
  const T type = parser_->root.type();
  out.array = type == T::ARRAY;
  if (out.array) {
    const simdjson::dom::array values = parser_->root.get_array().value_unsafe();
    for (simdjson::dom::element v : values)
      if (!take_slot(v, Key::Unknown, out.values.emplace_back())) return Parsed::NotMine;
    return Parsed::Slots;
  }
  if (type != T::OBJECT) return Parsed::Unreadable;  // a bare value is no entry
  // Values of unknown keys need no slot: the parser has checked them.
  const simdjson::dom::object members = parser_->root.get_object().value_unsafe();
  for (simdjson::dom::key_value_pair member : members) {
    const Key key = key_of(member.key);
    if (key == Key::Unknown) continue;
    if (!take_slot(member.value, key, out.values.emplace_back())) return Parsed::NotMine;
  }
  return Parsed::Slots;
}

}  // namespace vavev_aziz::journal_format
