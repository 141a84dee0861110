// Filling an entry from the slots of one line: the last step of reading a journal line.
//
// Readers are lenient about the shape and strict about the content: keys may come in any order
// and unknown keys are ignored, but a repeated known key, a wrong type or a missing required
// key makes the line unreadable. In the array form the values stand by position after the tag,
// and only an entry's trailing keys may be left off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "journal_format.hpp"
#include "journal_slots.hpp"

namespace vavev_aziz::journal_format {

// The rules of one field, which every reader of a line fills an entry by.
namespace field_rules {

// Whether a slot's value suits a field of the pointed-to type. A null suits only an optional
// field, where it reads as no value; given to any other key it makes the line unreadable.
inline bool fits(const std::string*, const Slot& s) {
  return s.kind == Val::Text;
}
inline bool fits(const double*, const Slot& s) {
  return s.kind == Val::Number;
}
inline bool fits(const bool*, const Slot& s) {
  return s.kind == Val::Bool;
}
inline bool fits(const std::optional<double>*, const Slot& s) {
  return s.kind == Val::Null || s.kind == Val::Number;
}
// A whole number up to 2^32 - 1 is exact as a double, so its value can be taken from there.
inline bool fits(const std::optional<std::uint32_t>*, const Slot& s) {
  return s.kind == Val::Null || (s.kind == Val::Number && s.whole &&
                                 s.number <= std::numeric_limits<std::uint32_t>::max());
}
inline bool fits(const std::optional<std::string>*, const Slot& s) {
  return s.kind == Val::Null || s.kind == Val::Text;
}

// Stores a slot's value, which fits the target.
inline void put(std::string& target, const Slot& s) {
  target.assign(s.text);
}
inline void put(double& target, const Slot& s) {
  target = s.number;
}
inline void put(bool& target, const Slot& s) {
  target = s.flag;
}
inline void put(std::optional<double>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else
    target = s.number;
}
inline void put(std::optional<std::uint32_t>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else
    target = static_cast<std::uint32_t>(s.number);
}
inline void put(std::optional<std::string>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else if (target)
    target->assign(s.text);
  else
    target.emplace(s.text);
}

// An entry whose every field holds its default.
template <class E>
const E& defaults() {
  static const E entry{};
  return entry;
}

}  // namespace field_rules

// Fills field I of the reused entry: from its slot when the line has one (`s`), else with the
// field's default; a field outside `kept` is only checked. False for a missing required key or
// a value of the wrong type.
template <class E, std::size_t I>
bool fill_field(const Slot* s, KeyMask kept, E& entry) {
  using namespace field_rules;
  constexpr auto& f = Spec<E>::fields[I];
  constexpr auto member = std::get<f.member.index()>(f.member);
  auto& target = entry.*member;
  if (s && !fits(&target, *s)) return false;
  if (kept & key_bit(f.key)) {
    if (s)
      put(target, *s);
    else
      target = defaults<E>().*member;
  }
  return s || f.presence != Presence::Required;
}

// One reusable entry of each kind, filled from the slots of one line at a time, so reading a
// journal allocates nothing once its longest texts have been seen. Only the fields of the
// `kept` keys take the line's values, for a reader that needs only some of them; the others
// are checked all the same, and hold nothing meaningful.
class LineEntries {
 public:
  LineEntries(KindMask wanted, KeyMask kept);

  // The event the slots of one line describe, or null when they make no readable entry of a
  // wanted kind. The event is overwritten by the next call.
  const Event* build(std::span<const Slot> slots, bool array);

  // The entry of a wanted kind, for a reader that fills it in place field by field
  // (`fill_field`), or null for a kind not wanted; and the keys whose values it takes.
  Event* entry_of(std::size_t kind) { return wanted_ & (1u << kind) ? &events_[kind] : nullptr; }
  KeyMask kept() const { return kept_; }

 private:
  KindMask wanted_;
  KeyMask kept_;
  std::array<Event, kKinds> events_;
};

// The kind a line must be when it is readable at all, told from its first bytes in the forms
// the writer uses ({"event":"fill" or ["fill"); absent when the line starts otherwise. A reader
// drops a line of an unwanted kind on this alone, readable or not, without parsing it.
std::optional<std::size_t> kind_from_start(std::string_view line);

}  // namespace vavev_aziz::journal_format
