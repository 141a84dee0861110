// The journal's keys and its writer: one compact line per event, appended to the file.
#include "journal_format.hpp"

#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace journal_format {
namespace {

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
std::string line_of_entry(const E& entry) {
  json::Json line = json::Json::object();
  line["event"] = std::string(Spec<E>::tag);
  for (const auto& f : Spec<E>::fields)
    line[std::string(name_of(f.key))] =
        std::visit([&entry](auto member) { return value_json(entry.*member); }, f.member);
  return json::compact(line);
}

}  // namespace

Key key_of(std::string_view text) {
  if (text.empty()) return Key::Unknown;
  const Key k = kKeyTable[key_hash(text)];
  if (k == Key::Unknown) return Key::Unknown;
  return text::same_bytes(text, name_of(k)) ? k : Key::Unknown;
}

std::string line_of(const Event& event) {
  return std::visit([](const auto& entry) { return line_of_entry(entry); }, event.value);
}

}  // namespace journal_format

std::string_view Event::tag() const {
  return journal_format::kTags[value.index()];
}

Result<void, std::error_code> Journal::append(const Event& event) const {
  if (auto at = append_and_locate(event); !at) return Err{at.error()};
  return {};
}

Result<std::uint64_t, std::error_code> Journal::append_and_locate(const Event& event) const {
  std::string line = journal_format::line_of(event);
  // A line no reader would keep is not written at all.
  if (line.size() > journal_format::kLongestLine)
    return Err{std::make_error_code(std::errc::file_too_large)};
  line += '\n';
  return platform::append_line(path_, line);
}

}  // namespace vavev_aziz
