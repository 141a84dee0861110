// Strict JSON reading for the system's own files and the broker's records.
//
// A plain DOM parse cannot say that a key came twice, that a value had the wrong type or
// where reading stopped, so reading goes in two steps. A `Reader` first runs nlohmann's SAX
// parser over the text and records every event with the byte offset just after it; a syntax
// error, too deep nesting or trailing characters become one final error token at the place
// they were met. It then walks the tokens in document order, the way a typed reader would, so
// the first problem in the text is the one reported. Every error message ends
// " at line L column C" (1-based; the column counts bytes up to the last one consumed).
//
// A record reader is a short description of its keys:
//
//   Account a;
//   auto done = read_object(r, "struct Account", {
//       field("status", a.status, Presence::Required),
//       field("equity", a.equity),                  // absent: keeps its default
//       field("options_trading_level", a.level),     // std::optional: absent or null
//   });
//
// Keys the record does not know are skipped whatever their value; a known key given twice is
// "duplicate field `name`"; a required key that is missing is "missing field `name`".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz::json {

// Containers nested this deep or deeper (the outermost counts as 1) are refused.
inline constexpr int kDepthLimit = 128;

enum class Tok : std::uint8_t {
  BeginObject,
  EndObject,
  BeginArray,
  EndArray,
  Key,
  Null,
  Bool,
  Int,    // a negative integer
  Uint,   // a non-negative integer
  Float,  // a number with a fraction or exponent, or an integer too large for 64 bits
  String,
  Error,  // always the last token; `text` holds the message without its position
};

struct Token {
  Tok kind = Tok::Null;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsigned_integer = 0;
  double number = 0;
  std::string text;     // Key and String: the decoded text; Float: its source; Error: message
  std::size_t end = 0;  // byte offset just after the token
};

using Error = std::string;

// How a known key of a record may appear.
enum class Presence {
  Required,   // must be present, null refused
  Defaulted,  // may be absent (the target keeps its value), null refused
  Optional,   // may be absent or null (both leave the target empty)
};

class Reader;

// One known key of a record and how to read its value into the record.
struct Field {
  std::string_view name;
  Presence presence;
  std::function<Result<void, Error>(Reader&)> read;
};

// A cursor over the tokens of one text.
class Reader {
 public:
  explicit Reader(std::string_view text);

  // The next token, without consuming it. An Error token is never consumed.
  const Token& peek() const;
  // Consumes the next token and returns it (the Error token stays in place).
  const Token& next();

  // "{message} at line L column C" for a byte offset of this text.
  Error error_at(std::string_view message, std::size_t offset) const;
  // The error for the next token when it is an Error token, or a type error saying that the
  // next value is not `expected` (serde-like: "invalid type: null, expected a string").
  Error unexpected(std::string_view expected) const;
  // The error of a pending Error token, when the next token is one.
  std::optional<Error> pending_error() const;

  // Primitive reads; each consumes one whole value or reports the first problem.
  Result<std::string, Error> string();
  Result<double, Error> f64();  // integers accepted
  Result<bool, Error> boolean();
  Result<std::uint64_t, Error> u64();
  Result<std::uint32_t, Error> u32();
  Result<std::uint8_t, Error> u8();
  Result<std::int64_t, Error> i64();
  // Consumes a null and returns true; returns false (consuming nothing) otherwise.
  bool null();
  // Skips one whole value of any kind.
  Result<void, Error> skip();

  // Typed reads into a target, used by `field`.
  Result<void, Error> read_into(std::string& t);
  Result<void, Error> read_into(double& t);
  Result<void, Error> read_into(bool& t);
  Result<void, Error> read_into(std::uint64_t& t);
  Result<void, Error> read_into(std::uint32_t& t);
  Result<void, Error> read_into(std::uint8_t& t);
  Result<void, Error> read_into(std::int64_t& t);
  template <class T>
  Result<void, Error> read_into(std::optional<T>& t) {
    if (null()) {
      t.reset();
      return {};
    }
    T v{};
    auto r = read_into(v);
    if (r) t = std::move(v);
    return r;
  }

  // Succeeds when every token has been read; otherwise the pending error (such as trailing
  // characters).
  Result<void, Error> finish() const;

  // The byte offset just after the last consumed token (0 before the first).
  std::size_t last_end() const { return at_ == 0 ? 0 : tokens_[at_ - 1].end; }

 private:
  std::string_view text_;
  std::vector<Token> tokens_;
  std::size_t at_ = 0;
  Token end_;  // returned once the tokens are used up
};

// A field whose target is a value: Defaulted unless told otherwise.
template <class T>
Field field(std::string_view name, T& target, Presence presence = Presence::Defaulted) {
  return Field{name, presence, [&target](Reader& r) { return r.read_into(target); }};
}
// A field whose target is optional: absent or null leave it empty.
template <class T>
Field field(std::string_view name, std::optional<T>& target) {
  return Field{name, Presence::Optional, [&target](Reader& r) { return r.read_into(target); }};
}

// Called for a key the record does not know, positioned on its value; must consume it.
using UnknownKey = std::function<Result<void, Error>(Reader&, const std::string& key)>;

// Reads one object by its fields. `what` names the record in type errors ("struct Account").
// Unknown keys are skipped, or handed to `unknown` when given.
Result<void, Error> read_object(Reader& r, std::string_view what, const std::vector<Field>& fields,
                                const UnknownKey& unknown = nullptr);

// Reads one array, calling `element` for each element in order; `what` names the array in
// type errors ("a sequence").
Result<void, Error> read_array(Reader& r, std::string_view what,
                               const std::function<Result<void, Error>(Reader&)>& element);

// Reads a text that must be one of `words` and returns its index; another word is
// "unknown variant `w`, expected one of `a`, `b`, `c`" (or "expected `a` or `b`" for two).
Result<std::size_t, Error> read_variant(Reader& r, std::span<const std::string_view> words);
Result<std::size_t, Error> read_variant(Reader& r, std::initializer_list<std::string_view> words);
// The index of a word already read (ending at `offset`) among `words`, or the same error.
Result<std::size_t, Error> variant_index(const Reader& r, std::string_view word,
                                         std::span<const std::string_view> words,
                                         std::size_t offset);

// Parses a whole text into a DOM value (for answers read by path, such as market data).
// A repeated key keeps its first place and takes its last value; nesting is limited as above.
// The error names the position like every other reader.
Result<Json, Error> parse_value(std::string_view text);

}  // namespace vavev_aziz::json
