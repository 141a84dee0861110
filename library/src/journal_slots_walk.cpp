// The walk: a journal line's slots from simdjson's on-demand parser, whose verdict on a line
// stands. The on-demand parser checks only what is read, so the walk reads every value of the
// line, nested ones included: a line is readable only when all of it is JSON. Texts without
// escapes are taken as they stand in the line (the parser's first pass has already checked
// their bytes); the rest are decoded by the parser, which checks their escapes.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include "journal_lines.hpp"
#include "journal_slots.hpp"

namespace vavev_aziz::journal_format {

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace {

namespace od = simdjson::ondemand;

// Whether a field of an entry takes only whole numbers.
template <class E>
constexpr bool takes_whole_numbers(const FieldSpec<E>& f) {
  return std::holds_alternative<std::optional<std::uint32_t> E::*>(f.member);
}

// The keys whose values must be whole numbers: for them a number is also checked for being
// written as an integer without a sign.
template <std::size_t... I>
constexpr std::array<bool, kKeyCount> whole_keys(std::index_sequence<I...>) {
  std::array<bool, kKeyCount> whole{};
  const auto mark = [&whole](const auto& fields) {
    for (const auto& f : fields)
      if (takes_whole_numbers(f)) whole[static_cast<std::size_t>(f.key)] = true;
  };
  (mark(Spec<EntryAt<I>>::fields), ...);
  return whole;
}
constexpr auto kWholeKeys = whole_keys(std::make_index_sequence<kKinds>{});

// Collects the values standing directly in one line's container into slots, checking every
// value on the way.
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
        if (std::move(element).get(v) || !take_slot(v, Key::Unknown)) return false;
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
      if (key != Key::Unknown ? !take_slot(f.value(), key) : !check(f.value(), level + 1))
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
  bool take_slot(od::value& v, Key key) {
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
        return number(
            v, s.number,
            key == Key::Unknown || kWholeKeys[static_cast<std::size_t>(key)] ? &s.whole : nullptr);
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
        return number(v, value, nullptr);
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

  // A number's value, the nearest double, with the sign of "-0" kept; and, when `whole` is asked
  // for, whether it was written as an integer without a sign (so "-0" is not whole). False when
  // it is not a JSON number or not finite. simdjson also refuses an exponent of 19 digits or
  // more, which JSON allows (0e99999999999999999999 is 0): such a token is read by the
  // library's other JSON parser. Left unread by simdjson, it is then skipped as the one token
  // it is.
  static bool number(od::value& v, double& out, bool* whole) {
    if (whole) {
      bool integer = false;
      *whole = !v.is_negative() && !v.is_integer().get(integer) && integer;
    }
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

}  // namespace

struct WalkSlots::Parser {
  od::parser parser;
};

WalkSlots::WalkSlots() : parser_(std::make_unique<Parser>()) {}

WalkSlots::~WalkSlots() = default;

Parsed WalkSlots::read(std::string_view line, LineSlots& out) {
  out.values.clear();
  od::document doc;
  const simdjson::padded_string_view padded(line.data(), line.size(), line.size() + kLinePadding);
  if (parser_->parser.iterate(padded).get(doc)) return Parsed::Unreadable;
  return Collector(out.values, line).collect(doc, out.array) ? Parsed::Slots : Parsed::Unreadable;
}

}  // namespace vavev_aziz::journal_format
