// The journal's line reader on simdjson, and the entries its values fill.
//
// A line goes first to simdjson's DOM parser, which checks all of it at once; a line it
// accepts in the writer's own layout fills its entry straight from the parsed values. Every
// other line, and whatever that path cannot settle, is walked with the on-demand parser, whose
// verdict stands. The on-demand parser checks only what is read, so that walk reads every
// value of the line, nested ones included: a line is readable only when all of it is JSON.
// Texts without escapes are taken as they stand in the line (the parser's first pass has
// already checked their bytes); the rest are decoded by the parser, which checks their escapes.
#include "journal_reader.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::journal_format {

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace {

namespace od = simdjson::ondemand;

// ---- Slots to entries ----

// Whether a slot's value suits a field of the pointed-to type.
bool fits(const std::string*, const Slot& s) {
  return s.kind == Val::Text;
}
bool fits(const double*, const Slot& s) {
  return s.kind == Val::Number;
}
bool fits(const bool*, const Slot& s) {
  return s.kind == Val::Bool;
}
bool fits(const std::optional<double>*, const Slot& s) {
  return s.kind == Val::Null || s.kind == Val::Number;
}
// A whole number up to 2^32 - 1 is exact as a double, so its value can be taken from there.
bool fits(const std::optional<std::uint32_t>*, const Slot& s) {
  return s.kind == Val::Null || (s.kind == Val::Number && s.whole &&
                                 s.number <= std::numeric_limits<std::uint32_t>::max());
}
bool fits(const std::optional<std::string>*, const Slot& s) {
  return s.kind == Val::Null || s.kind == Val::Text;
}

// Stores a slot's value, which fits the target.
void put(std::string& target, const Slot& s) {
  target.assign(s.text);
}
void put(double& target, const Slot& s) {
  target = s.number;
}
void put(bool& target, const Slot& s) {
  target = s.flag;
}
void put(std::optional<double>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else
    target = s.number;
}
void put(std::optional<std::uint32_t>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else
    target = static_cast<std::uint32_t>(s.number);
}
void put(std::optional<std::string>& target, const Slot& s) {
  if (s.kind == Val::Null)
    target.reset();
  else if (target)
    target->assign(s.text);
  else
    target.emplace(s.text);
}

// Fills the reused entry: each kept field from its slot when the line has one, else with the
// field's default; fields outside `kept` are only checked. A missing required key or a value
// of the wrong type makes the line unreadable.
template <class E>
bool fill(const std::array<const Slot*, Spec<E>::fields.size()>& at, KeyMask kept, E& entry) {
  static const E kDefaults{};
  for (std::size_t i = 0; i < at.size(); ++i) {
    const auto& f = Spec<E>::fields[i];
    const bool ok = std::visit(
        [&](auto member) {
          auto& target = entry.*member;
          const Slot* s = at[i];
          if (s && !fits(&target, *s)) return false;
          if (kept & key_bit(f.key)) {
            if (s)
              put(target, *s);
            else
              target = kDefaults.*member;
          }
          return s || f.presence != Presence::Required;
        },
        f.member);
    if (!ok) return false;
  }
  return true;
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
  return fill(at, kept, entry);
}

// The array form: values by position after the tag; only the trailing keys may be left off.
template <class E>
bool read_positional(std::span<const Slot> values, KeyMask kept, E& entry) {
  if (values.size() < Spec<E>::min_positions || values.size() > Spec<E>::fields.size())
    return false;
  std::array<const Slot*, Spec<E>::fields.size()> at{};
  for (std::size_t i = 0; i < values.size(); ++i)
    at[i] = &values[i];
  return fill(at, kept, entry);
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

// ---- The on-demand walk ----

// The keys whose values must be whole numbers: for them a number is also checked for being
// written as an integer without a sign.
constexpr auto kWholeKeys = [] {
  std::array<bool, kKeyCount> whole{};
  auto mark = [&whole](const auto& fields) {
    for (const auto& f : fields)
      if (f.member.index() == 3) whole[static_cast<std::size_t>(f.key)] = true;
  };
  mark(Spec<OpenEntry>::fields);
  mark(Spec<CloseEntry>::fields);
  mark(Spec<RefusedEntry>::fields);
  mark(Spec<FillEntry>::fields);
  mark(Spec<HaltEntry>::fields);
  return whole;
}();

// Collects the first-level values of one line into slots, checking every value on the way.
class Collector {
 public:
  Collector(std::vector<Slot>& slots, std::string_view line)
      : slots_(slots), line_(line), escapes_(line.find('\\') != std::string_view::npos) {}

  // False when the line is not exactly one JSON object or array.
  bool collect(od::document& doc, bool& array) {
    od::json_type type;
    if (doc.type().get(type)) return false;
    array = type == od::json_type::array;
    if (array) {
      od::array values;
      if (doc.get_array().get(values)) return false;
      for (auto element : values) {
        od::value v;
        if (std::move(element).get(v) || !first_level(v, Key::Unknown)) return false;
      }
    } else if (type == od::json_type::object) {
      od::object members;
      if (doc.get_object().get(members) || !object_members(members, 1)) return false;
    } else {
      return false;  // a bare value is no entry
    }
    // Only white space may follow the value.
    const char* rest = nullptr;
    return doc.current_location().get(rest) == simdjson::OUT_OF_BOUNDS;
  }

 private:
  // The members of an object at nesting `level`; those of the line's own object fill slots.
  bool object_members(od::object& members, int level) {
    for (auto member : members) {
      od::field f;
      if (std::move(member).get(f)) return false;
      // Every key is checked, and one with escapes may be a known key spelled so.
      std::string_view name;
      if (!key_text(f, name)) return false;
      const Key key = level == 1 ? key_of(name) : Key::Unknown;
      if (key != Key::Unknown ? !first_level(f.value(), key) : !check(f.value(), level + 1))
        return false;
    }
    return true;
  }

  // A key as written when it holds no escape, else decoded by the parser. Keys are short, so
  // a plain loop finds the closing quote.
  bool key_text(od::field& f, std::string_view& name) {
    const char* start = f.key().raw();
    const char* end = line_.data() + line_.size();
    for (const char* at = start; at < end; ++at) {
      if (*at == '\\') return !f.unescaped_key().get(name);
      if (*at == '"') {
        name = std::string_view(start, static_cast<std::size_t>(at - start));
        return true;
      }
    }
    return false;
  }

  // A value standing directly in the line's container: it gets a slot.
  bool first_level(od::value& v, Key key) {
    od::json_type type;
    if (v.type().get(type)) return false;
    Slot& s = slots_.emplace_back();
    s.key = key;
    switch (type) {
      case od::json_type::null:
        s.kind = Val::Null;
        return is_null(v);
      case od::json_type::boolean:
        s.kind = Val::Bool;
        return !v.get_bool().get(s.flag);
      case od::json_type::number:
        s.kind = Val::Number;
        if (key == Key::Unknown || kWholeKeys[static_cast<std::size_t>(key)]) {
          bool integer = false;
          s.whole = !v.is_negative() && !v.is_integer().get(integer) && integer;
        }
        return number(v, s.number);
      case od::json_type::string:
        s.kind = Val::Text;
        return text(v, s.text);
      case od::json_type::array:
      case od::json_type::object:
        s.kind = Val::Container;
        return check(v, 2);
    }
    return false;
  }

  // Any value at nesting `level` (the line's own container is 1): read through, kept nowhere.
  bool check(od::value& v, int level) {
    od::json_type type;
    if (v.type().get(type)) return false;
    switch (type) {
      case od::json_type::null:
        return is_null(v);
      case od::json_type::boolean: {
        bool flag;
        return !v.get_bool().get(flag);
      }
      case od::json_type::number: {
        double value;
        return number(v, value);
      }
      case od::json_type::string: {
        std::string_view t;
        return text(v, t);
      }
      case od::json_type::array: {
        od::array values;
        if (level >= json::kDepthLimit || v.get_array().get(values)) return false;
        for (auto element : values) {
          od::value e;
          if (std::move(element).get(e) || !check(e, level + 1)) return false;
        }
        return true;
      }
      case od::json_type::object: {
        od::object members;
        if (level >= json::kDepthLimit || v.get_object().get(members)) return false;
        return object_members(members, level);
      }
    }
    return false;
  }

  // A number's value; false when it is not a JSON number or not finite. simdjson also refuses
  // an exponent of 19 digits or more, which JSON allows (0e99999999999999999999 is 0): such a
  // token is read by the library's other JSON parser. Left unread by simdjson, it is then
  // skipped as the one token it is.
  static bool number(od::value& v, double& out) {
    if (!v.get_double().get(out)) return true;
    std::string_view token = v.raw_json_token();
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\r' ||
                              token.back() == '\n'))
      token.remove_suffix(1);
    // That parser stops at a NUL, and only a plain number token is handed to it.
    if (token.find_first_not_of("0123456789+-.eE") != std::string_view::npos) return false;
    const auto parsed = nlohmann::json::parse(token.begin(), token.end(), nullptr, false);
    if (!parsed.is_number()) return false;
    out = parsed.get<double>();
    return std::isfinite(out);
  }

  static bool is_null(od::value& v) {
    bool null = false;
    return !v.is_null().get(null) && null;
  }

  // A text as written when it holds no escape, else decoded by the parser. Most lines hold no
  // backslash at all, which one look at the whole line tells.
  bool text(od::value& v, std::string_view& out) const {
    std::string_view raw = v.raw_json_token();  // the quoted text, then any white space
    while (!raw.empty() && raw.back() != '"')
      raw.remove_suffix(1);
    if (raw.size() >= 2 && (!escapes_ || raw.find('\\') == std::string_view::npos)) {
      out = raw.substr(1, raw.size() - 2);
      // Still taken from the parser: a value left unread would be skipped, and skipping is
      // lenient about what follows it.
      od::raw_json_string taken;
      return !v.get_raw_json_string().get(taken);
    }
    return !v.get_string().get(out);
  }

  std::vector<Slot>& slots_;
  std::string_view line_;
  bool escapes_;  // the line holds a backslash somewhere
};

// ---- The fast path: a parse that builds the whole line at once ----

// simdjson's DOM parser checks the whole text in one pass before any value is looked at, so
// when it accepts a line every value in it is JSON and only the first-level values need
// collecting. It is only a fast path: whatever it refuses, and the few lines it would read
// differently from the walk above, go to that walk, whose verdict stands.
//
// It takes no line nested deeper than this (the root is level 1), well inside the walk's limit,
// and no line longer than this: its buffers take about fourteen bytes per byte of the line,
// where the walk's take four, and a damaged journal may hold one very long line.
constexpr std::size_t kFastDepth = json::kDepthLimit / 2;
constexpr std::size_t kFastLongest = 64 << 10;

enum class Fast { Read, Unreadable, Unsure };

Fast first_level(simdjson::dom::element v, Key key, Slot& s) {
  using T = simdjson::dom::element_type;
  s.key = key;
  switch (v.type()) {
    case T::NULL_VALUE:
      s.kind = Val::Null;
      return Fast::Read;
    case T::BOOL:
      s.kind = Val::Bool;
      s.flag = v.get_bool().value_unsafe();
      return Fast::Read;
    case T::INT64: {
      // A zero may have been written "-0", which the walk reads as the negative zero.
      const std::int64_t n = v.get_int64().value_unsafe();
      if (n == 0) return Fast::Unsure;
      s.kind = Val::Number;
      s.number = static_cast<double>(n);  // rounded to nearest, as reading the digits would
      s.whole = n > 0;
      return Fast::Read;
    }
    case T::UINT64:
      s.kind = Val::Number;
      s.number = static_cast<double>(v.get_uint64().value_unsafe());
      s.whole = true;
      return Fast::Read;
    case T::DOUBLE:
      s.kind = Val::Number;
      s.number = v.get_double().value_unsafe();
      s.whole = false;
      return std::isfinite(s.number) ? Fast::Read : Fast::Unsure;
    case T::STRING:
      s.kind = Val::Text;
      s.text = v.get_string().value_unsafe();
      return Fast::Read;
    case T::ARRAY:
    case T::OBJECT:
      s.kind = Val::Container;
      return Fast::Read;
  }
  return Fast::Unsure;
}

// The first-level values of a line the DOM parser accepted, into slots.
Fast collect(simdjson::dom::element root, std::vector<Slot>& slots, bool& array) {
  using T = simdjson::dom::element_type;
  const T type = root.type();
  array = type == T::ARRAY;
  if (array) {
    const simdjson::dom::array values = root.get_array().value_unsafe();
    for (simdjson::dom::element v : values)
      if (const Fast f = first_level(v, Key::Unknown, slots.emplace_back()); f != Fast::Read)
        return f;
    return Fast::Read;
  }
  if (type != T::OBJECT) return Fast::Unreadable;  // a bare value is no entry
  // Values of unknown keys need no slot: the parser has checked them.
  const simdjson::dom::object members = root.get_object().value_unsafe();
  for (simdjson::dom::key_value_pair member : members) {
    const Key key = key_of(member.key);
    if (key == Key::Unknown) continue;
    if (const Fast f = first_level(member.value, key, slots.emplace_back()); f != Fast::Read)
      return f;
  }
  return Fast::Read;
}

// The field at position I of the entry's writing order, from the next member of the line.
template <class E, std::size_t I>
bool take_next(simdjson::dom::object::iterator& it, const simdjson::dom::object::iterator& end,
               KeyMask kept, E& entry) {
  constexpr auto& f = Spec<E>::fields[I];
  constexpr auto member = std::get<f.member.index()>(f.member);
  if (++it == end) return false;
  const simdjson::dom::key_value_pair pair = *it;
  Slot s;
  if (!text::same_bytes(pair.key, name_of(f.key)) ||
      first_level(pair.value, f.key, s) != Fast::Read || !fits(&(entry.*member), s))
    return false;
  if (kept & key_bit(f.key)) put(entry.*member, s);
  return true;
}

// Fills the entry from a line laid out as the writer lays it out: the tag, then every key of
// the entry once, in writing order. Unsure for any other layout (the slots then read it).
template <class E, std::size_t... I>
[[gnu::flatten]] Fast read_in_order(const simdjson::dom::object& members, KeyMask kept, E& entry,
                                    std::index_sequence<I...>) {
  auto it = members.begin();
  const auto end = members.end();
  std::string_view tag;
  if (it == end || !text::same_bytes((*it).key, "event") || (*it).value.get_string().get(tag) ||
      tag != Spec<E>::tag)
    return Fast::Unsure;
  if (!(take_next<E, I>(it, end, kept, entry) && ...)) return Fast::Unsure;
  return ++it == end ? Fast::Read : Fast::Unsure;
}

using InOrderReader = Fast (*)(const simdjson::dom::object&, KeyMask, Event&);
template <std::size_t I>
Fast read_event_in_order(const simdjson::dom::object& members, KeyMask kept, Event& event) {
  using E = std::variant_alternative_t<I, EventValue>;
  return read_in_order(members, kept, std::get<I>(event.value),
                       std::make_index_sequence<Spec<E>::fields.size()>{});
}
template <std::size_t... I>
constexpr std::array<InOrderReader, kKinds> in_order_readers(std::index_sequence<I...>) {
  return {&read_event_in_order<I>...};
}
constexpr auto kInOrderReaders = in_order_readers(std::make_index_sequence<kKinds>{});

}  // namespace

LineEntries::LineEntries(KindMask wanted, KeyMask kept)
    : wanted_(wanted),
      kept_(kept),
      events_(one_event_of_each_kind(std::make_index_sequence<kKinds>{})) {}

Event* LineEntries::entry_of(std::size_t kind) {
  return wanted_ & (1u << kind) ? &events_[kind] : nullptr;
}

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

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct LineReader::Parser {
  simdjson::dom::parser dom;
  // Without its depth limit set, the DOM parser is not used at all.
  bool fast = !dom.allocate(4096, kFastDepth);
  od::parser parser;
};

LineReader::LineReader(KindMask wanted, KeyMask kept)
    : parser_(std::make_unique<Parser>()), wanted_(wanted), entries_(wanted, kept) {}

LineReader::~LineReader() = default;

const Event* LineReader::read(std::string_view line) {
  // A byte order mark may open a line (an editor may have written one), as JSON readers allow.
  if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  const auto kind = kind_from_start(line);
  if (kind && !(wanted_ & (1u << *kind))) return nullptr;
  simdjson::dom::element root;
  if (parser_->fast && line.size() <= kFastLongest &&
      !parser_->dom.parse(line.data(), line.size(), false).get(root)) {
    if (kind && root.type() == simdjson::dom::element_type::OBJECT) {
      // A line as the writer writes it: its object form, starting with the tag.
      Event* event = entries_.entry_of(*kind);
      const simdjson::dom::object members = root.get_object().value_unsafe();
      if (kInOrderReaders[*kind](members, entries_.kept(), *event) == Fast::Read) return event;
    }
    slots_.clear();
    bool array = false;
    switch (collect(root, slots_, array)) {
      case Fast::Read:
        return entries_.build(slots_, array);
      case Fast::Unreadable:
        return nullptr;
      case Fast::Unsure:
        break;
    }
  }
  od::document doc;
  const simdjson::padded_string_view padded(line.data(), line.size(), line.size() + kLinePadding);
  if (parser_->parser.iterate(padded).get(doc)) return nullptr;
  slots_.clear();
  bool array = false;
  if (!Collector(slots_, line).collect(doc, array)) return nullptr;
  return entries_.build(slots_, array);
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

namespace vavev_aziz {

std::vector<Event> Journal::events() const {
  using namespace journal_format;
  std::vector<Event> events;
  LineSource lines(path_);
  LineReader reader(kAllKinds);
  while (const auto line = lines.next())
    if (const Event* event = reader.read(*line)) events.push_back(*event);
  if (lines.failed()) return {};
  return events;
}

}  // namespace vavev_aziz
