#include "vavev_aziz/support/json_read.hpp"

#include <cmath>
#include <iterator>
#include <limits>

#include <fmt/format.h>

namespace vavev_aziz::json {
namespace {

// An input iterator over the text that publishes how many bytes the parser has consumed, so
// each SAX event knows where it ended.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* p;
  const char* base;
  std::size_t* consumed;

  reference operator*() const { return *p; }
  CountingIterator& operator++() {
    ++p;
    *consumed = static_cast<std::size_t>(p - base);
    return *this;
  }
  CountingIterator operator++(int) {
    auto old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& o) const { return p == o.p; }
  bool operator!=(const CountingIterator& o) const { return p != o.p; }
};

bool number_char(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// Collects SAX events as tokens. Returning false from an event stops the parser.
class Collector {
 public:
  Collector(std::string_view text, std::vector<Token>& out, const std::size_t& consumed)
      : text_(text), out_(out), consumed_(consumed) {}

  bool null() { return push(Tok::Null, consumed_); }
  bool boolean(bool v) {
    push(Tok::Bool, consumed_);
    out_.back().boolean = v;
    return true;
  }
  bool number_integer(std::int64_t v) {
    push(Tok::Int, number_end());
    out_.back().integer = v;
    return true;
  }
  bool number_unsigned(std::uint64_t v) {
    push(Tok::Uint, number_end());
    out_.back().unsigned_integer = v;
    return true;
  }
  bool number_float(double v, const std::string& source) {
    if (!std::isfinite(v)) {  // JSON has no infinities: 1e400 is out of range, not inf
      fail("number out of range", number_end());
      return false;
    }
    push(Tok::Float, number_end());
    out_.back().number = v;
    out_.back().text = source;
    return true;
  }
  bool string(std::string& v) {
    push(Tok::String, consumed_);
    out_.back().text = std::move(v);
    return true;
  }
  bool binary(nlohmann::ordered_json::binary_t&) { return true; }
  bool key(std::string& v) {
    out_.emplace_back();
    out_.back().kind = Tok::Key;
    out_.back().end = consumed_;
    out_.back().text = std::move(v);
    return true;
  }
  bool start_object(std::size_t) { return open(Tok::BeginObject); }
  bool end_object() { return close(Tok::EndObject); }
  bool start_array(std::size_t) { return open(Tok::BeginArray); }
  bool end_array() { return close(Tok::EndArray); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    if (complete_) {
      fail("trailing characters", position);
      return false;
    }
    // nlohmann's text reads "[json.exception.parse_error.101] parse error at line 1,
    // column 3: syntax error while parsing value - ..."; keep what follows the position.
    std::string_view what = e.what();
    if (e.id == 406) {
      fail("number out of range", position);
    } else if (auto at = what.find("parse error");
               at != std::string_view::npos && what.find(": ", at) != std::string_view::npos) {
      fail(what.substr(what.find(": ", at) + 2), position);
    } else {
      fail(what.substr(what.find("] ") == std::string_view::npos ? 0 : what.find("] ") + 2),
           position);
    }
    return false;
  }

  bool failed() const { return failed_; }

 private:
  bool push(Tok kind, std::size_t end) {
    out_.emplace_back();
    out_.back().kind = kind;
    out_.back().end = end;
    if (depth_ == 0) complete_ = true;
    return true;
  }
  bool open(Tok kind) {
    if (++depth_ >= kDepthLimit) {
      fail("recursion limit exceeded", consumed_);
      return false;
    }
    out_.emplace_back();
    out_.back().kind = kind;
    out_.back().end = consumed_;
    return true;
  }
  bool close(Tok kind) {
    --depth_;
    return push(kind, consumed_);
  }
  // The lexer reads one byte past a number before giving it back; do not count that byte.
  std::size_t number_end() const {
    std::size_t end = consumed_;
    if (end > 0 && end <= text_.size() && !number_char(text_[end - 1])) --end;
    return end;
  }
  void fail(std::string_view message, std::size_t position) {
    failed_ = true;
    out_.emplace_back();
    out_.back().kind = Tok::Error;
    out_.back().text = std::string(message);
    out_.back().end = std::min(position, text_.size());
  }

  std::string_view text_;
  std::vector<Token>& out_;
  const std::size_t& consumed_;
  int depth_ = 0;
  bool complete_ = false;
  bool failed_ = false;
};

std::string describe(const Token& t) {
  switch (t.kind) {
    case Tok::Null:
      return "null";
    case Tok::Bool:
      return fmt::format("boolean `{}`", t.boolean);
    case Tok::Int:
      return fmt::format("integer `{}`", t.integer);
    case Tok::Uint:
      return fmt::format("integer `{}`", t.unsigned_integer);
    case Tok::Float:
      return fmt::format("floating point `{}`", t.text);
    case Tok::String:
      return fmt::format("string \"{}\"", t.text);
    case Tok::BeginArray:
      return "sequence";
    case Tok::BeginObject:
      return "map";
    default:
      return "unexpected token";
  }
}

// An integer that does not fit the target type `expected`.
template <class V>
Error out_of_range(const Reader& r, V value, std::string_view expected, std::size_t end) {
  return r.error_at(fmt::format("invalid value: integer `{}`, expected {}", value, expected), end);
}

template <class T>
Result<T, Error> read_unsigned(Reader& r, std::string_view expected) {
  const Token& t = r.peek();
  if (t.kind == Tok::Uint) {
    if (t.unsigned_integer > std::numeric_limits<T>::max())
      return Err{out_of_range(r, t.unsigned_integer, expected, t.end)};
    return static_cast<T>(r.next().unsigned_integer);
  }
  if (t.kind == Tok::Int) return Err{out_of_range(r, t.integer, expected, t.end)};
  return Err{r.unexpected(expected)};
}

// Runs the SAX parser over `text`. On success the tokens describe exactly one JSON value with
// only white space around it; otherwise the last token is an Error.
void tokenize(std::string_view text, std::vector<Token>& out) {
  std::size_t consumed = 0;
  Collector collector(text, out, consumed);
  CountingIterator first{text.data(), text.data(), &consumed};
  CountingIterator last{text.data() + text.size(), text.data(), &consumed};
  // The parser reports every problem through the collector; it does not throw.
  nlohmann::ordered_json::sax_parse(first, last, &collector,
                                    nlohmann::ordered_json::input_format_t::json, true);
  if (collector.failed() || out.empty()) return;
  // nlohmann's lexer takes a NUL byte for the end of the input, so "[1]\0 junk" would pass as
  // one value. Only JSON white space may follow the value, up to the text's real end.
  for (std::size_t i = out.back().end; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    out.emplace_back();
    out.back().kind = Tok::Error;
    out.back().text = "trailing characters";
    out.back().end = i + 1;
    return;
  }
}

struct Position {
  std::size_t line;
  std::size_t column;
};

// Line and column of the last byte consumed at a byte offset.
Position position_of(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, offset - line_start};
}

}  // namespace

Reader::Reader(std::string_view text) : text_(text) {
  tokenize(text, tokens_);
  end_.kind = Tok::Error;
  end_.text = "EOF while parsing a value";
  end_.end = text.size();
}

const Token& Reader::peek() const {
  return at_ < tokens_.size() ? tokens_[at_] : end_;
}

const Token& Reader::next() {
  const Token& t = peek();
  if (t.kind != Tok::Error) ++at_;
  return t;
}

Error Reader::error_at(std::string_view message, std::size_t offset) const {
  auto p = position_of(text_, offset);
  return fmt::format("{} at line {} column {}", message, p.line, p.column);
}

std::optional<Error> Reader::pending_error() const {
  const Token& t = peek();
  if (t.kind != Tok::Error) return std::nullopt;
  return error_at(t.text, t.end);
}

Error Reader::unexpected(std::string_view expected) const {
  if (auto e = pending_error()) return *e;
  const Token& t = peek();
  return error_at(fmt::format("invalid type: {}, expected {}", describe(t), expected), t.end);
}

Result<std::string, Error> Reader::string() {
  if (peek().kind != Tok::String) return Err{unexpected("a string")};
  return std::string(next().text);
}

Result<double, Error> Reader::f64() {
  const Token& t = peek();
  switch (t.kind) {
    case Tok::Float:
      return next().number;
    case Tok::Int:
      return static_cast<double>(next().integer);
    case Tok::Uint:
      return static_cast<double>(next().unsigned_integer);
    default:
      return Err{unexpected("f64")};
  }
}

Result<bool, Error> Reader::boolean() {
  if (peek().kind != Tok::Bool) return Err{unexpected("a boolean")};
  return next().boolean;
}

Result<std::uint64_t, Error> Reader::u64() {
  return read_unsigned<std::uint64_t>(*this, "u64");
}
Result<std::uint32_t, Error> Reader::u32() {
  return read_unsigned<std::uint32_t>(*this, "u32");
}
Result<std::uint8_t, Error> Reader::u8() {
  return read_unsigned<std::uint8_t>(*this, "u8");
}
Result<std::int64_t, Error> Reader::i64() {
  const Token& t = peek();
  if (t.kind == Tok::Int) return next().integer;
  if (t.kind == Tok::Uint) {
    if (t.unsigned_integer > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return Err{out_of_range(*this, t.unsigned_integer, "i64", t.end)};
    return static_cast<std::int64_t>(next().unsigned_integer);
  }
  return Err{unexpected("i64")};
}

bool Reader::null() {
  if (peek().kind != Tok::Null) return false;
  next();
  return true;
}

Result<void, Error> Reader::skip() {
  int depth = 0;
  do {
    const Token& t = next();
    switch (t.kind) {
      case Tok::Error:
        return Err{error_at(t.text, t.end)};
      case Tok::BeginObject:
      case Tok::BeginArray:
        ++depth;
        break;
      case Tok::EndObject:
      case Tok::EndArray:
        --depth;
        break;
      default:
        break;
    }
  } while (depth > 0);
  return {};
}

template <class T>
static Result<void, Error> assign(Result<T, Error> r, T& target) {
  if (!r) return Err{std::move(r).error()};
  target = std::move(*r);
  return {};
}

Result<void, Error> Reader::read_into(std::string& t) {
  return assign(string(), t);
}
Result<void, Error> Reader::read_into(double& t) {
  return assign(f64(), t);
}
Result<void, Error> Reader::read_into(bool& t) {
  return assign(boolean(), t);
}
Result<void, Error> Reader::read_into(std::uint64_t& t) {
  return assign(u64(), t);
}
Result<void, Error> Reader::read_into(std::uint32_t& t) {
  return assign(u32(), t);
}
Result<void, Error> Reader::read_into(std::uint8_t& t) {
  return assign(u8(), t);
}
Result<void, Error> Reader::read_into(std::int64_t& t) {
  return assign(i64(), t);
}

Result<void, Error> Reader::finish() const {
  if (at_ >= tokens_.size()) return {};
  if (auto e = pending_error()) return Err{*e};
  return Err{error_at("trailing characters", peek().end)};
}

Result<void, Error> read_object(Reader& r, std::string_view what, const std::vector<Field>& fields,
                                const UnknownKey& unknown) {
  if (r.peek().kind != Tok::BeginObject) return Err{r.unexpected(what)};
  r.next();
  std::vector<bool> seen(fields.size(), false);
  for (;;) {
    const Token& t = r.next();
    if (t.kind == Tok::Error) return Err{r.error_at(t.text, t.end)};
    if (t.kind == Tok::EndObject) {
      for (std::size_t i = 0; i < fields.size(); ++i)
        if (!seen[i] && fields[i].presence == Presence::Required)
          return Err{r.error_at(fmt::format("missing field `{}`", fields[i].name), t.end)};
      return {};
    }
    std::size_t i = 0;
    while (i < fields.size() && fields[i].name != t.text)
      ++i;
    if (i == fields.size()) {
      if (auto s = unknown ? unknown(r, t.text) : r.skip(); !s) return s;
      continue;
    }
    if (seen[i]) return Err{r.error_at(fmt::format("duplicate field `{}`", fields[i].name), t.end)};
    seen[i] = true;
    if (auto s = fields[i].read(r); !s) return s;
  }
}

Result<void, Error> read_array(Reader& r, std::string_view what,
                               const std::function<Result<void, Error>(Reader&)>& element) {
  if (r.peek().kind != Tok::BeginArray) return Err{r.unexpected(what)};
  r.next();
  for (;;) {
    const Token& t = r.peek();
    if (t.kind == Tok::Error) return Err{r.error_at(t.text, t.end)};
    if (t.kind == Tok::EndArray) {
      r.next();
      return {};
    }
    if (auto s = element(r); !s) return s;
  }
}

Result<std::size_t, Error> variant_index(const Reader& r, std::string_view word,
                                         std::span<const std::string_view> words,
                                         std::size_t offset) {
  for (std::size_t i = 0; i < words.size(); ++i)
    if (words[i] == word) return i;
  std::string expected;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words.size() == 2 && i == 1)
      expected += " or ";
    else if (i > 0)
      expected += ", ";
    expected += fmt::format("`{}`", words[i]);
  }
  const char* lead = words.size() > 2 ? "expected one of " : "expected ";
  return Err{r.error_at(fmt::format("unknown variant `{}`, {}{}", word, lead, expected), offset)};
}

Result<std::size_t, Error> read_variant(Reader& r, std::span<const std::string_view> words) {
  if (r.peek().kind != Tok::String) return Err{r.unexpected("a string")};
  const Token& t = r.next();
  return variant_index(r, t.text, words, t.end);
}

Result<std::size_t, Error> read_variant(Reader& r, std::initializer_list<std::string_view> words) {
  return read_variant(r, std::span(words.begin(), words.size()));
}

Result<Json, Error> parse_value(std::string_view text) {
  Reader r(text);
  // Containers under construction; the value being built sits at the top.
  std::vector<Json> stack;
  std::vector<std::string> keys;
  Json result;
  for (;;) {
    const Token& t = r.next();
    Json value;
    switch (t.kind) {
      case Tok::Error:
        return Err{r.error_at(t.text, t.end)};
      case Tok::BeginObject:
        stack.emplace_back(Json::object());
        continue;
      case Tok::BeginArray:
        stack.emplace_back(Json::array());
        continue;
      case Tok::Key:
        keys.push_back(t.text);
        continue;
      case Tok::EndObject:
      case Tok::EndArray:
        value = std::move(stack.back());
        stack.pop_back();
        break;
      case Tok::Null:
        value = nullptr;
        break;
      case Tok::Bool:
        value = t.boolean;
        break;
      case Tok::Int:
        value = t.integer;
        break;
      case Tok::Uint:
        value = t.unsigned_integer;
        break;
      case Tok::Float:
        value = t.number;
        break;
      case Tok::String:
        value = t.text;
        break;
    }
    if (stack.empty()) {
      result = std::move(value);
      break;
    }
    Json& parent = stack.back();
    if (parent.is_object()) {
      parent[keys.back()] = std::move(value);
      keys.pop_back();
    } else {
      parent.push_back(std::move(value));
    }
  }
  if (auto done = r.finish(); !done) return Err{std::move(done).error()};
  return result;
}

}  // namespace vavev_aziz::json
