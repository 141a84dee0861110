// Filling the entry of a line's kind from its slots, and telling a line's kind.
#include "journal_entries.hpp"

#include <cstdint>
#include <utility>

#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::journal_format {

namespace {

// Fills the reused entry from the slots of its fields, `slot_of(i)` giving that of field i or
// null where the line has none: false when the line makes no readable entry.
template <class E, class SlotOf, std::size_t... I>
bool fill(const SlotOf& slot_of, KeyMask kept, E& entry, std::index_sequence<I...>) {
  return (fill_field<E, I>(slot_of(I), kept, entry) && ...);
}
template <class E, class SlotOf>
bool fill(const SlotOf& slot_of, KeyMask kept, E& entry) {
  return fill(slot_of, kept, entry, std::make_index_sequence<Spec<E>::fields.size()>{});
}

// The object form: keys in any order, each known key at most once.
template <class E>
bool read_keyed(std::span<const Slot> slots, KeyMask kept, E& entry) {
  std::array<const Slot*, Spec<E>::fields.size()> at{};
  for (const Slot& s : slots) {
    if (s.key == Key::Event) continue;
    const int i = kFieldIndex<E>[static_cast<std::size_t>(s.key)];
    if (i < 0) continue;
    auto& slot = at[static_cast<std::size_t>(i)];
    if (slot) return false;
    slot = &s;
  }
  return fill([&at](std::size_t i) { return at[i]; }, kept, entry);
}

// The array form: values by position after the tag; only the trailing keys may be left off.
template <class E>
bool read_positional(std::span<const Slot> values, KeyMask kept, E& entry) {
  if (values.size() < Spec<E>::min_positions || values.size() > Spec<E>::fields.size())
    return false;
  return fill([values](std::size_t i) { return i < values.size() ? &values[i] : nullptr; }, kept,
              entry);
}

template <std::size_t I>
bool read_entry(std::span<const Slot> slots, bool array, KeyMask kept, Event& event) {
  auto& entry = std::get<I>(event.value);
  return array ? read_positional(slots.subspan(1), kept, entry) : read_keyed(slots, kept, entry);
}

using EntryReader = bool (*)(std::span<const Slot>, bool, KeyMask, Event&);
template <std::size_t... I>
constexpr std::array<EntryReader, kKinds> entry_readers(std::index_sequence<I...>) {
  return {&read_entry<I>...};
}
constexpr auto kEntryReaders = entry_readers(std::make_index_sequence<kKinds>{});

template <std::size_t... I>
std::array<Event, kKinds> one_event_of_each_kind(std::index_sequence<I...>) {
  return {Event{EventValue(std::in_place_index<I>)}...};
}

// The kind whose tag word starts with the first letter of `text` (the five start with
// different letters), if any.
std::optional<std::size_t> kind_by_first_letter(std::string_view text) {
  static constexpr auto kKindOf = [] {
    std::array<std::int8_t, 26> kind{};
    kind.fill(-1);
    for (std::size_t i = 0; i < kKinds; ++i)
      kind[static_cast<std::size_t>(kTags[i][0] - 'a')] = static_cast<std::int8_t>(i);
    return kind;
  }();
  if (text.empty() || text[0] < 'a' || text[0] > 'z') return std::nullopt;
  const int i = kKindOf[static_cast<std::size_t>(text[0] - 'a')];
  if (i < 0) return std::nullopt;
  return static_cast<std::size_t>(i);
}

std::optional<std::size_t> kind_of_tag(const Slot& s) {
  if (s.kind != Val::Text) return std::nullopt;
  const auto kind = kind_by_first_letter(s.text);
  if (!kind || kTags[*kind] != s.text) return std::nullopt;
  return kind;
}

}  // namespace

LineEntries::LineEntries(KindMask wanted, KeyMask kept)
    : wanted_(wanted),
      kept_(kept),
      events_(one_event_of_each_kind(std::make_index_sequence<kKinds>{})) {}

const Event* LineEntries::build(std::span<const Slot> slots, bool array) {
  std::optional<std::size_t> kind;
  if (array) {
    if (slots.empty()) return nullptr;
    kind = kind_of_tag(slots[0]);
  } else {
    for (const Slot& s : slots) {
      if (s.key != Key::Event) continue;
      if (kind) return nullptr;  // "event" twice
      kind = kind_of_tag(s);
      if (!kind) return nullptr;
    }
  }
  if (!kind || !(wanted_ & (1u << *kind))) return nullptr;
  Event& event = events_[*kind];
  return kEntryReaders[*kind](slots, array, kept_, event) ? &event : nullptr;
}

std::optional<std::size_t> kind_from_start(std::string_view line) {
  constexpr std::string_view kObject = "{\"event\":\"";
  std::string_view rest;
  if (line.size() > kObject.size() && text::same_bytes(line.substr(0, kObject.size()), kObject))
    rest = line.substr(kObject.size());
  else if (line.starts_with("[\""))
    rest = line.substr(2);
  else
    return std::nullopt;
  const auto kind = kind_by_first_letter(rest);
  if (!kind) return std::nullopt;
  const std::string_view tag = kTags[*kind];
  if (rest.size() <= tag.size() || !text::same_bytes(rest.substr(0, tag.size()), tag) ||
      rest[tag.size()] != '"')
    return std::nullopt;
  return kind;
}

}  // namespace vavev_aziz::journal_format
