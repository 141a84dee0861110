#include "reference_journal_reader.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::journal_format {

// Collects the first-level values of one line from the parser's events. Returning false stops
// the parser: the line is then unreadable.
class ReferenceLineReader::Collector {
 public:
  bool is_array() const { return array_; }

  // The slots, their texts pointing into the collector's own copies.
  std::span<const Slot> slots() {
    for (std::size_t i = 0; i < used_; ++i)
      if (slots_[i].kind == Val::Text) slots_[i].text = texts_[i];
    return {slots_.data(), used_};
  }

  void reset() {
    depth_ = 0;
    used_ = 0;
    array_ = false;
    pending_ = Key::Unknown;
  }

  // Each value callback answers whether parsing goes on: a bare value as the whole line is no
  // entry, so it stops there.
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
    if (Slot* s = scalar(Val::Number)) s->number = v == 0 ? -0.0 : static_cast<double>(v);
    return depth_ > 0;
  }
  bool number_unsigned(std::uint64_t v) {
    if (Slot* s = scalar(Val::Number)) {
      s->whole = true;
      s->number = static_cast<double>(v);
    }
    return depth_ > 0;
  }
  bool number_float(double v, const std::string&) {
    if (!std::isfinite(v)) return false;  // out of range: JSON has no infinities
    if (Slot* s = scalar(Val::Number)) s->number = v;
    return depth_ > 0;
  }
  bool string(std::string& v) {
    if (Slot* s = scalar(Val::Text)) texts_[static_cast<std::size_t>(s - slots_.data())].swap(v);
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
    if (used_ == slots_.size()) {
      slots_.emplace_back();
      texts_.emplace_back();
    }
    Slot& s = slots_[used_++];
    s = Slot{};
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
  std::vector<std::string> texts_;  // beside the slot of the same position
  std::size_t used_ = 0;
  int depth_ = 0;
  bool array_ = false;
  Key pending_ = Key::Unknown;
};

ReferenceLineReader::ReferenceLineReader()
    : collector_(std::make_unique<Collector>()), entries_(kAllKinds, kAllKeys) {}

ReferenceLineReader::~ReferenceLineReader() = default;

const Event* ReferenceLineReader::read(std::string_view line) {
  // nlohmann's parser takes a NUL for the end of its input, so it would accept what follows.
  if (line.find('\0') != std::string_view::npos) return nullptr;
  if (!text::valid_utf8(line)) return nullptr;
  collector_->reset();
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(line.data(), line.data() + line.size(), collector_.get());
  } catch (...) {  // the parser reports through the collector; this is only a safety net
    return nullptr;
  }
  if (!parsed) return nullptr;
  return entries_.build(collector_->slots(), collector_->is_array());
}

std::optional<std::string> first_disagreement(std::string_view bytes,
                                              const std::function<void(const Event&)>& read) {
  static LineReader reader(kAllKinds);
  static ReferenceLineReader reference;
  // Each line followed by the rest of the bytes and then padding.
  std::string padded(bytes);
  padded.append(kLinePadding, '\0');
  const std::string_view all(padded.data(), bytes.size());
  for (std::size_t start = 0; start <= all.size();) {
    std::size_t end = all.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = all.size();
    std::string_view line = all.substr(start, end - start);
    if (!last && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (last && line.empty()) break;

    const Event* fresh = reader.read(line);
    const Event* old = reference.read(line);
    if ((fresh == nullptr) != (old == nullptr) || (fresh && line_of(*fresh) != line_of(*old)))
      return std::string(line);
    if (fresh && read) read(*fresh);
  }
  return std::nullopt;
}

}  // namespace vavev_aziz::journal_format
