// The journal file, journal.jsonl: one event per line, appended and never rewritten.
//
// A line is one compact JSON object whose first key is "event" with the tag word (open, close,
// refused, fill, halted), followed by every key of that event's entry in a fixed order, null
// standing for a missing value or a number that is not finite:
//
//   {"event":"close","id":"tovra-…","at":1714000000.5,"realized_pnl":-120.0,"outcome":"stopped",
//    "underlying_price":null,"note":""}
//
// Readers are lenient about the shape and strict about the content: keys may come in any order
// and unknown keys are ignored, but a repeated known key, a wrong type or a missing required
// key makes the line unreadable. A line may also be an array: the tag word, then the values in
// key order, where an entry's trailing defaulted keys may be left off. Unreadable lines
// (including lines that are not valid UTF-8) are skipped one by one; the rest is still read.
#include "vavev_aziz/journal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace {

// Every key any entry knows, plus "event". Keys are matched to these once, as the parser meets
// them, so the entries below compare small numbers rather than texts.
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
  Unknown,
};
constexpr std::size_t kKeyCount = static_cast<std::size_t>(Key::Unknown);

constexpr std::array<std::string_view, kKeyCount> kKeyNames = {
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
    "equity",        "high_water",
};

std::string_view name_of(Key k) {
  return kKeyNames[static_cast<std::size_t>(k)];
}

// A table from a cheap hash of a key's length and its first and last bytes to the one known key
// with that hash, so a key from the file is compared with one known key at most. The hash
// tells every known key apart; the table's construction checks it.
constexpr std::size_t kKeyTableSize = 64;
constexpr std::size_t key_hash(std::string_view text) {
  return (text.size() * 9 + static_cast<unsigned char>(text.front()) +
          static_cast<unsigned char>(text.back()) * 8) %
         kKeyTableSize;
}
constexpr auto kKeyTable = [] {
  std::array<Key, kKeyTableSize> table{};
  table.fill(Key::Unknown);
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    auto& at = table[key_hash(kKeyNames[i])];
    if (at != Key::Unknown) throw "two known keys share a hash";  // fails the build
    at = static_cast<Key>(i);
  }
  return table;
}();

Key key_of(std::string_view text) {
  if (text.empty()) return Key::Unknown;
  const Key k = kKeyTable[key_hash(text)];
  return k != Key::Unknown && name_of(k) == text ? k : Key::Unknown;
}

// The shared reader's presence rules. A missing Required key makes the line unreadable; whether
// a null is accepted follows from the member's type (only the optional ones take it).
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
  static constexpr std::array<FieldSpec<E>, 7> fields{{
      {Key::Id, &E::id, Presence::Required},
      {Key::At, &E::at, Presence::Required},
      {Key::By, &E::by, Presence::Defaulted},
      {Key::Symbol, &E::symbol, Presence::Required},
      {Key::Thesis, &E::thesis, Presence::Required},
      {Key::Verdict, &E::verdict, Presence::Required},
      {Key::GateRule, &E::gate_rule, Presence::Required},
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
constexpr std::size_t kKinds = std::variant_size_v<EventValue>;
template <std::size_t I>
using EntryAt = std::variant_alternative_t<I, EventValue>;

template <std::size_t... I>
constexpr std::array<std::string_view, kKinds> tags(std::index_sequence<I...>) {
  return {Spec<EntryAt<I>>::tag...};
}
constexpr auto kTags = tags(std::make_index_sequence<kKinds>{});

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
constexpr auto kFieldIndex = field_index<E>();

// ---- Writing ----

json::Json value_json(const std::string& v) {
  return v;
}
// A number that is not finite is dumped as null.
json::Json value_json(double v) {
  return v;
}
json::Json value_json(bool v) {
  return v;
}
json::Json value_json(const std::optional<double>& v) {
  return json::number_or_null(v);
}
json::Json value_json(const std::optional<std::string>& v) {
  return json::text_or_null(v);
}
json::Json value_json(const std::optional<std::uint32_t>& v) {
  return v ? json::Json(static_cast<std::uint64_t>(*v)) : json::Json(nullptr);
}

template <class E>
std::string line_of(const E& entry) {
  json::Json line = json::Json::object();
  line["event"] = std::string(Spec<E>::tag);
  for (const auto& f : Spec<E>::fields)
    line[std::string(name_of(f.key))] =
        std::visit([&entry](auto member) { return value_json(entry.*member); }, f.member);
  return json::compact(line);
}

// ---- Reading ----

// A value that stood directly inside the line's object or array. Nested containers are only
// noted as such: no entry key takes one.
enum class Val : std::uint8_t { Null, Bool, Negative, Unsigned, Float, Text, Container };

struct Slot {
  Key key = Key::Unknown;  // Unknown in the array form
  Val kind = Val::Null;
  bool flag = false;
  std::uint64_t whole = 0;  // Unsigned
  double number = 0;        // Negative, Unsigned, Float
  std::string text;         // Text
};

// Collects the first-level values of one line from the parser's events. Returning false
// stops the parser: the line is then unreadable.
class LineCollector {
 public:
  bool is_array() const { return array_; }
  std::span<Slot> slots() { return {slots_.data(), used_}; }

  void reset() {
    depth_ = 0;
    used_ = 0;
    array_ = false;
    pending_ = Key::Unknown;
  }

  // Each value callback answers whether parsing goes on: a bare value as the whole line is
  // no entry, so it stops there.
  bool null() {
    scalar(Val::Null);
    return depth_ > 0;
  }
  bool boolean(bool v) {
    if (Slot* s = scalar(Val::Bool)) s->flag = v;
    return depth_ > 0;
  }
  bool number_integer(std::int64_t v) {
    // The parser hands only texts with a minus sign here, so 0 is "-0": negative zero.
    if (Slot* s = scalar(Val::Negative)) s->number = v == 0 ? -0.0 : static_cast<double>(v);
    return depth_ > 0;
  }
  bool number_unsigned(std::uint64_t v) {
    if (Slot* s = scalar(Val::Unsigned)) {
      s->whole = v;
      s->number = static_cast<double>(v);
    }
    return depth_ > 0;
  }
  bool number_float(double v, const std::string&) {
    if (!std::isfinite(v)) return false;  // out of range: JSON has no infinities
    if (Slot* s = scalar(Val::Float)) s->number = v;
    return depth_ > 0;
  }
  bool string(std::string& v) {
    // Swapping hands the parser our old buffer, so neither side allocates again per line.
    if (Slot* s = scalar(Val::Text)) s->text.swap(v);
    return depth_ > 0;
  }
  bool binary(nlohmann::json::binary_t&) { return false; }
  bool key(std::string& k) {
    if (depth_ == 1) pending_ = key_of(k);
    return true;
  }
  bool start_object(std::size_t) { return open(false); }
  bool start_array(std::size_t) { return open(true); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  // The slot for a value standing directly in the line's container; nullptr deeper down and
  // for a first-level value under a key no entry knows.
  Slot* scalar(Val kind) {
    if (depth_ != 1) return nullptr;
    if (!array_ && pending_ == Key::Unknown) return nullptr;
    if (used_ == slots_.size()) slots_.emplace_back();
    Slot& s = slots_[used_++];
    s.key = array_ ? Key::Unknown : pending_;
    s.kind = kind;
    return &s;
  }
  bool open(bool array) {
    if (depth_ == 0) {
      array_ = array;
    } else if (depth_ == 1) {
      scalar(Val::Container);
    }
    return ++depth_ < json::kDepthLimit;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  int depth_ = 0;
  bool array_ = false;
  Key pending_ = Key::Unknown;
};

std::optional<double> number_in(const Slot& s) {
  if (s.kind == Val::Negative || s.kind == Val::Unsigned || s.kind == Val::Float) return s.number;
  return std::nullopt;
}

// Texts are copied, not moved, out of the slots: the slot keeps its buffer for the parser to
// reuse on the next line, and the entry gets one allocation of the right size.
bool store(std::string& target, Slot& s) {
  if (s.kind != Val::Text) return false;
  target.assign(s.text);
  return true;
}
bool store(double& target, Slot& s) {
  auto n = number_in(s);
  if (n) target = *n;
  return n.has_value();
}
bool store(bool& target, Slot& s) {
  if (s.kind != Val::Bool) return false;
  target = s.flag;
  return true;
}
bool store(std::optional<double>& target, Slot& s) {
  if (s.kind == Val::Null) return true;
  auto n = number_in(s);
  target = n;
  return n.has_value();
}
bool store(std::optional<std::uint32_t>& target, Slot& s) {
  if (s.kind == Val::Null) return true;
  if (s.kind != Val::Unsigned || s.whole > std::numeric_limits<std::uint32_t>::max()) return false;
  target = static_cast<std::uint32_t>(s.whole);
  return true;
}
bool store(std::optional<std::string>& target, Slot& s) {
  if (s.kind == Val::Null) return true;
  if (s.kind != Val::Text) return false;
  target.emplace(s.text);
  return true;
}

template <class E>
bool store_field(const FieldSpec<E>& f, Slot& s, E& entry) {
  return std::visit([&](auto member) { return store(entry.*member, s); }, f.member);
}

// The object form: keys in any order, each known key at most once, required keys present.
template <class E>
bool read_keyed(std::span<Slot> slots, E& entry) {
  std::uint32_t seen = 0;
  for (Slot& s : slots) {
    if (s.key == Key::Event) continue;
    const int i = kFieldIndex<E>[static_cast<std::size_t>(s.key)];
    if (i < 0) continue;
    const std::uint32_t bit = 1u << i;
    if (seen & bit) return false;
    seen |= bit;
    if (!store_field(Spec<E>::fields[static_cast<std::size_t>(i)], s, entry)) return false;
  }
  for (std::size_t i = 0; i < Spec<E>::fields.size(); ++i)
    if (Spec<E>::fields[i].presence == Presence::Required && !(seen & (1u << i))) return false;
  return true;
}

// The array form: values by position after the tag; only the trailing keys may be left off.
template <class E>
bool read_positional(std::span<Slot> values, E& entry) {
  if (values.size() < Spec<E>::min_positions || values.size() > Spec<E>::fields.size())
    return false;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!store_field(Spec<E>::fields[i], values[i], entry)) return false;
  return true;
}

template <std::size_t I>
std::optional<Event> read_entry(std::span<Slot> slots, bool array) {
  Event event{EventValue(std::in_place_index<I>)};
  auto& entry = std::get<I>(event.value);
  const bool ok = array ? read_positional(slots.subspan(1), entry) : read_keyed(slots, entry);
  if (!ok) return std::nullopt;
  return event;
}

using EntryReader = std::optional<Event> (*)(std::span<Slot>, bool);
template <std::size_t... I>
constexpr std::array<EntryReader, kKinds> entry_readers(std::index_sequence<I...>) {
  return {&read_entry<I>...};
}
constexpr auto kEntryReaders = entry_readers(std::make_index_sequence<kKinds>{});

std::optional<std::size_t> kind_of_tag(const Slot& s) {
  if (s.kind != Val::Text) return std::nullopt;
  for (std::size_t i = 0; i < kKinds; ++i)
    if (kTags[i] == s.text) return i;
  return std::nullopt;
}

bool plain_ascii(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < s.size(); ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  return true;
}

// Which kinds of event a reader builds; lines of other kinds are dropped.
using KindMask = unsigned;
constexpr KindMask kAllKinds = (1u << kKinds) - 1;
template <class... E>
constexpr KindMask kinds() {
  return ((1u << EventValue(std::in_place_type<E>).index()) | ...);
}

// The kind a line must be when it is readable at all, told from its first bytes in the forms
// the writer uses ({"event":"fill" or ["fill"); absent when the line starts otherwise.
std::optional<std::size_t> kind_from_start(std::string_view line) {
  std::string_view rest;
  if (line.starts_with("{\"event\":\""))
    rest = line.substr(10);
  else if (line.starts_with("[\""))
    rest = line.substr(2);
  else
    return std::nullopt;
  for (std::size_t i = 0; i < kKinds; ++i)
    if (rest.starts_with(kTags[i]) && rest.substr(kTags[i].size()).starts_with('"')) return i;
  return std::nullopt;
}

// Reads lines one at a time, reusing its buffers from line to line.
class LineReader {
 public:
  explicit LineReader(KindMask wanted) : wanted_(wanted) {}

  std::optional<Event> read(std::string_view line) {
    // A line of an unwanted kind is dropped whether readable or not, so it need not be parsed.
    if (auto kind = kind_from_start(line); kind && !(wanted_ & (1u << *kind))) return std::nullopt;
    if (!plain_ascii(line) && !text::valid_utf8(line)) return std::nullopt;
    collector_.reset();
    bool parsed = false;
    try {
      parsed = nlohmann::json::sax_parse(line.data(), line.data() + line.size(), &collector_);
    } catch (...) {  // the parser reports through the collector; this is only a safety net
      return std::nullopt;
    }
    if (!parsed) return std::nullopt;
    auto slots = collector_.slots();
    std::optional<std::size_t> kind;
    if (collector_.is_array()) {
      if (slots.empty()) return std::nullopt;
      kind = kind_of_tag(slots[0]);
    } else {
      for (const Slot& s : slots) {
        if (s.key != Key::Event) continue;
        if (kind) return std::nullopt;  // "event" twice
        kind = kind_of_tag(s);
        if (!kind) return std::nullopt;
      }
    }
    if (!kind || !(wanted_ & (1u << *kind))) return std::nullopt;
    return kEntryReaders[*kind](slots, collector_.is_array());
  }

 private:
  KindMask wanted_;
  LineCollector collector_;
};

// Blocks of up to a megabyte; a small journal needs no more than its own size.
std::size_t block_size(const std::filesystem::path& path) {
  constexpr std::size_t kLargest = 1 << 20;
  std::error_code failed;
  const auto size = std::filesystem::file_size(path, failed);
  return failed ? kLargest : std::clamp<std::size_t>(size + 1, 4096, kLargest);
}

// Calls `line` with every line of the file in order, without its line feed (nor a carriage
// return before it). The file is read in blocks so a large journal never sits in memory whole.
// Returns false when the file cannot be opened or read to its end; the caller then treats the
// journal as empty, whatever lines were already handed out.
template <class F>
bool for_each_line(const std::filesystem::path& path, F&& line) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::size_t kBlock = block_size(path);
  std::string buffer;
  std::size_t kept = 0;  // bytes of an unfinished line at the front of the buffer
  for (;;) {
    buffer.resize(kept + kBlock);
    in.read(buffer.data() + kept, static_cast<std::streamsize>(kBlock));
    const auto got = static_cast<std::size_t>(in.gcount());
    // A folder at the path, or a failing disk, shows as a bad stream rather than an end.
    if (in.bad()) return false;
    const std::string_view data(buffer.data(), kept + got);
    std::size_t start = 0;
    for (std::size_t nl; (nl = data.find('\n', start)) != std::string_view::npos; start = nl + 1) {
      std::string_view one = data.substr(start, nl - start);
      if (!one.empty() && one.back() == '\r') one.remove_suffix(1);
      line(one);
    }
    if (got == 0) {
      // The last line may lack its line feed; a carriage return there stays (white space).
      if (start < data.size()) line(data.substr(start));
      return true;
    }
    kept = data.size() - start;
    std::memmove(buffer.data(), buffer.data() + start, kept);
  }
}

// Calls `visit` with every readable event of the file, in file order; false as above.
template <class F>
bool for_each_event(const std::filesystem::path& path, KindMask wanted, F&& visit) {
  LineReader reader(wanted);
  return for_each_line(path, [&](std::string_view line) {
    if (text::is_blank(line)) return;
    if (auto event = reader.read(line)) visit(std::move(*event));
  });
}

// An estimate of the number of open events: the occurrences of the text "open" in double
// quotes, at most one per 64 bytes (no readable open line is shorter), plus a little room.
// Sizing the list of trades once matters: a list of large records that outgrows its room by a
// single trade is copied whole into one twice the size, which costs more than this second
// quick read of the file. Only a hint: an escaped tag or a concurrent append merely makes it
// wrong.
std::size_t estimate_opens(const std::filesystem::path& path) {
  static constexpr std::string_view kTag = "\"open\"";
  constexpr std::size_t kCarry = kTag.size() - 1;  // a tag cut by the end of a block
  std::ifstream in(path, std::ios::binary);
  std::string block(kCarry + block_size(path), '\0');
  std::size_t found = 0, bytes = 0, kept = 0;
  while (in) {
    in.read(block.data() + kept, static_cast<std::streamsize>(block.size() - kept));
    const auto got = static_cast<std::size_t>(in.gcount());
    bytes += got;
    const char* end = block.data() + kept + got;
    for (const char* at = block.data();
         (at = static_cast<const char*>(
              ::memmem(at, static_cast<std::size_t>(end - at), kTag.data(), kTag.size())));
         at += kTag.size())
      ++found;
    // The last few bytes start the next block: they hold no whole tag, so none counts twice.
    kept = std::min<std::size_t>(kCarry, kept + got);
    std::memmove(block.data(), end - kept, kept);
  }
  return std::min(found, bytes / 64) + found / 256 + 16;
}

// An open-addressing table from id to position in the list of trades. Each slot keeps 32 bits
// of the id's hash beside the position, so a probe reads a trade only when those agree; eight
// bytes a slot and at most three quarters full keep the table small enough to stay in cache
// for longer. Positions are 32-bit: a fold of four billion trades would not fit in memory.
class TradeIndex {
 public:
  void reserve(std::size_t trades) {
    std::size_t size = 16;
    while (3 * size < 4 * trades)
      size *= 2;
    if (size > slots_.size()) rebuild(size);
  }

  // The position of the trade with this id, if there is one.
  std::optional<std::size_t> find(std::span<const Trade> trades, std::string_view id) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint32_t at = slots_[probe(trades, hash(id), id)].at;
    if (at == kEmpty) return std::nullopt;
    return at;
  }

  // Adds the trade at `at` unless a trade with its id is there already (then false).
  bool insert(std::span<const Trade> trades, std::size_t at) {
    if (4 * (used_ + 1) > 3 * slots_.size()) rebuild(std::max<std::size_t>(16, 2 * slots_.size()));
    const std::string_view id = trades[at].open.id;
    const std::uint32_t h = hash(id);
    Slot& slot = slots_[probe(trades, h, id)];
    if (slot.at != kEmpty) return false;
    slot = Slot{h, static_cast<std::uint32_t>(at)};
    ++used_;
    return true;
  }

 private:
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t at = kEmpty;
  };

  static std::uint32_t hash(std::string_view id) {
    const std::size_t h = std::hash<std::string_view>{}(id);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  // The slot holding `id`, or the empty slot where it would go.
  std::size_t probe(std::span<const Trade> trades, std::uint32_t h, std::string_view id) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.at == kEmpty || (s.hash == h && trades[s.at].open.id == id)) return i;
    }
  }

  void rebuild(std::size_t size) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    const std::size_t mask = size - 1;
    for (const Slot& s : old) {
      if (s.at == kEmpty) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].at != kEmpty)
        i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size
  std::size_t used_ = 0;
};

// The fold: trades in the order of their first open, with the index that finds them by id.
struct Fold {
  std::vector<Trade> trades;
  TradeIndex index;

  Trade* find(std::string_view id) {
    auto at = index.find(trades, id);
    return at ? &trades[*at] : nullptr;
  }
};

Fold fold(const std::filesystem::path& path) {
  Fold f;
  try {
    const std::size_t expected = estimate_opens(path);  // a second read, worth it
    f.trades.reserve(expected);
    platform::advise_huge_pages(f.trades.data(), f.trades.capacity() * sizeof(Trade));
    f.index.reserve(expected);
  } catch (const std::exception&) {  // too large a hint: grow as needed instead
  }
  const bool read =
      for_each_event(path, kinds<OpenEntry, CloseEntry, FillEntry>(), [&f](Event&& e) {
        if (auto* open = std::get_if<OpenEntry>(&e.value)) {
          f.trades.push_back(Trade{std::move(*open), std::nullopt, std::nullopt});
          // The first open of an id wins: a later one is taken back out at once.
          if (!f.index.insert(f.trades, f.trades.size() - 1)) f.trades.pop_back();
        } else if (auto* close = std::get_if<CloseEntry>(&e.value)) {
          if (Trade* t = f.find(close->id)) t->close = std::move(*close);
        } else if (auto* fill = std::get_if<FillEntry>(&e.value)) {
          if (Trade* t = f.find(fill->id)) t->fill = std::move(*fill);
        }
      });
  if (!read) return {};
  return f;
}

}  // namespace

std::string_view Event::tag() const {
  return kTags[value.index()];
}

Result<void, std::error_code> Journal::append(const Event& event) const {
  std::string line = std::visit([](const auto& entry) { return line_of(entry); }, event.value);
  line += '\n';
  return platform::append_line(path_, line);
}

std::vector<Event> Journal::events() const {
  std::vector<Event> events;
  if (!for_each_event(path_, kAllKinds, [&events](Event&& e) { events.push_back(std::move(e)); }))
    return {};
  return events;
}

std::vector<Trade> Journal::trades() const {
  return fold(path_).trades;
}

std::vector<Trade> Journal::open_trades() const {
  std::vector<Trade> open;
  for (auto& t : trades())
    if (t.holds_position()) open.push_back(std::move(t));
  return open;
}

std::vector<ExitGap> Journal::exits_awaiting_close() const {
  return vavev_aziz::exits_awaiting_close(trades());
}

std::vector<ExitGap> exits_awaiting_close(std::span<const Trade> trades) {
  TradeIndex index;
  index.reserve(trades.size());
  for (std::size_t i = 0; i < trades.size(); ++i)
    index.insert(trades, i);
  std::vector<ExitGap> gaps;
  for (const auto& t : trades) {
    if (!t.open.exit || !t.fill || !t.placed()) continue;
    if (t.open.closes) {
      const auto target = index.find(trades, *t.open.closes);
      if (!target || trades[*target].close) continue;
    }
    gaps.push_back(
        ExitGap{t.open.id, t.open.symbol, t.open.closes, t.open.at, t.open.closes.has_value()});
  }
  return gaps;
}

std::optional<double> Trade::effective_max_loss() const {
  if (!open.max_loss) return std::nullopt;
  if (!fill) return open.max_loss;
  double f = 0;
  if (fill->intended_qty > 0) {
    f = fill->filled_qty / fill->intended_qty;
    if (f < 0) f = 0;
    if (f > 1) f = 1;
  }
  return *open.max_loss * f;
}

}  // namespace vavev_aziz
