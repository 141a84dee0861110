// The denial memory file, denials.json, is a pretty JSON object (two-space indent, no line
// feed after the closing brace) with one key, "entries": an object from fingerprint text to
// the expiry in epoch seconds, keys in ascending byte order, whole numbers written with ".0":
//
//   {
//     "entries": {
//       "AAPL|equity|buy|open|b7": 1767225600.0
//     }
//   }
//
// Once `memory --forget` has run while journals exist, a second key follows,
// "forgotten_journal_lengths": an object from each account's journal (its path from this
// folder) to its length in bytes then; refusals journalled before that place are forgotten.
//
//   { "entries": {}, "forgotten_journal_lengths": { "book/journal.jsonl": 48213 } }
//
// Reading accepts any object with an "entries" object of numbers (integers too), and that
// second key as an object of whole numbers when present, and ignores other keys; anything else
// reads as an empty memory.
#include "vavev_aziz/approval.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "vavev_aziz/support/env.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace {

// What the messaging program's output says when it neither approved nor denied, tested in
// this order; no reason means the question expired.
struct OutputSign {
  std::string_view needle;
  std::optional<std::string_view> reason;
};

constexpr OutputSign kOutputSigns[] = {
    {R"("timeout":true)", std::nullopt},
    {R"("timeout": true)", std::nullopt},
    {"send failed", kSendFailed},
    {"no handle", kNoHandle},
};

// How much of the program's output is looked at; the verdict words come early, and a program
// that prints without end must not fill memory.
constexpr std::size_t kOutputKept = 1u << 20;

// How long an expired refusal is kept before it is dropped. A run whose clock is ahead sees a
// refusal expire early; dropped then, it would be gone for good, and at the real time the
// same order would go back to the owner.
constexpr double kKeptAfterExpiry = 86400;

// The longest bound, in seconds, that a time limit can carry; a longer one is no limit.
constexpr std::uint64_t kLongestBound = INT64_MAX / 1000;

Verdict undeliverable(std::string_view reason) {
  return Verdict{Verdict::Undeliverable{std::string(reason)}};
}

Verdict read_output(std::string_view raw) {
  const auto out = text::lossy_utf8(raw);
  for (const auto& sign : kOutputSigns) {
    if (out.find(sign.needle) == std::string::npos) continue;
    return sign.reason ? undeliverable(*sign.reason) : Verdict{Verdict::Expired{}};
  }
  return undeliverable(kNonVerdict);
}

std::int64_t bucket(double notional) {
  if (!std::isfinite(notional) || notional <= 0) return std::numeric_limits<std::int64_t>::min();
  // Every finite positive double lands between -648 and 617 here, well inside 64 bits.
  return static_cast<std::int64_t>(std::floor(2 * std::log10(notional)));
}

using json::Error;
using json::Reader;

Result<void, Error> read_entries(Reader& r, std::map<std::string, double>& entries) {
  return json::read_object(r, "a map", {}, [&entries](Reader& r, const std::string& key) {
    auto v = r.f64();
    if (!v) return Result<void, Error>(Err{std::move(v.error())});
    entries[key] = *v;  // a repeated key keeps its last value
    return Result<void, Error>();
  });
}

constexpr std::string_view kForgotten = "forgotten_journal_lengths";

Result<void, Error> read_forgotten(Reader& r, std::map<std::string, std::uint64_t>& forgotten) {
  return json::read_object(r, "a map", {}, [&forgotten](Reader& r, const std::string& key) {
    auto v = r.u64();
    if (!v) return Result<void, Error>(Err{std::move(v.error())});
    forgotten[key] = *v;
    return Result<void, Error>();
  });
}

// What a denials.json text holds.
struct Contents {
  std::map<std::string, double> entries;
  std::map<std::string, std::uint64_t> forgotten;
};

// The contents of a denials.json text; none when it is not UTF-8 text or does not read.
Contents contents_of(const std::string& content) {
  if (!text::valid_utf8(content)) return {};
  Contents c;
  Reader r(content);
  auto read =
      json::read_object(r, "struct DenialMemory",
                        {json::Field{"entries", json::Presence::Required,
                                     [&c](Reader& r) { return read_entries(r, c.entries); }},
                         json::Field{kForgotten, json::Presence::Optional,
                                     [&c](Reader& r) { return read_forgotten(r, c.forgotten); }}});
  if (!read || !r.finish()) return {};
  return c;
}

// denials.json's text for `entries`, and the forget places when there are any.
std::string render(const std::map<std::string, double>& entries,
                   const std::map<std::string, std::uint64_t>& forgotten) {
  json::Json table = json::Json::object();
  for (const auto& [fingerprint, expiry] : entries) {
    // JSON has no NaN or infinity: written as null, one such entry would make the whole file
    // unreadable and so forget every other refusal. A file never yields one, so only a value
    // set in memory is left out here.
    if (std::isfinite(expiry)) table[fingerprint] = expiry;
  }
  json::Json root = json::Json::object();
  root["entries"] = std::move(table);
  if (!forgotten.empty()) {
    json::Json places = json::Json::object();
    for (const auto& [journal, length] : forgotten)
      places[journal] = length;
    root[std::string(kForgotten)] = std::move(places);
  }
  return json::pretty(root);
}

}  // namespace

Verdict ImsgAsker::ask(const std::string& question, Duration ttl) {
  const std::vector<std::string> args = {"approve", question, "--timeout",
                                         std::to_string(ttl.secs)};
  // The program is told the time-out and trusted to end near it; one that hangs is ended once
  // the grace past it is over, so it cannot hold the proposal for ever.
  const std::uint64_t bound =
      ttl.secs > UINT64_MAX - grace.secs ? UINT64_MAX : ttl.secs + grace.secs;
  platform::RunOptions options;
  if (bound <= kLongestBound)
    options.limit = std::chrono::seconds(static_cast<std::int64_t>(bound));
  options.environment = env::without_broker_keys();
  options.output_limit = kOutputKept;
  const auto run = platform::run(program, args, options);
  if (run.ending == platform::Ending::CouldNotStart) return undeliverable(kImsgNotRunnable);
  if (run.ending == platform::Ending::TimedOut)
    return undeliverable(fmt::format("imsg did not answer within {} s", bound));
  if (run.exited_with(0)) return Verdict{Verdict::Approved{}};
  if (run.exited_with(1)) return Verdict{Verdict::Denied{}};
  return read_output(run.out);
}

Fingerprint Fingerprint::of(const Order& order) {
  // One key for every spelling of the instrument (BTC/USD, BTCUSD, btc/usd).
  return Fingerprint{fmt::format(
      "{}|{}|{}|{}|b{}", instrument_key(order.symbol), word(order.asset_class), word(order.side),
      order.intent == Intent::Opening ? "open" : "close", bucket(order.notional))};
}

DenialMemory DenialMemory::load(const std::filesystem::path& path) {
  auto content = platform::read_file(path);
  if (!content) return {};
  DenialMemory memory;
  auto contents = contents_of(*content);
  memory.entries = std::move(contents.entries);
  memory.loaded = memory.entries;
  memory.forgotten = std::move(contents.forgotten);
  return memory;
}

Result<void, std::error_code> DenialMemory::save(const std::filesystem::path& path) const {
  return platform::update_file(path, [this](const std::optional<std::string>& current) {
    auto [merged, forgotten] = current ? contents_of(*current) : Contents{};
    if (forgotten.empty()) forgotten = this->forgotten;
    // An entry this run pruned as expired goes, unless another run has since renewed it.
    for (const auto& [fingerprint, read] : loaded) {
      const auto found = merged.find(fingerprint);
      if (!entries.contains(fingerprint) && found != merged.end() && !(found->second > read))
        merged.erase(found);
    }
    // An entry as it was read is the file's to keep or drop (`memory --forget` or another
    // run's pruning may have removed it since); one this run added or renewed is united with
    // the file's, the later expiry winning.
    for (const auto& [fingerprint, expiry] : entries) {
      const auto read = loaded.find(fingerprint);
      if (read != loaded.end() && read->second == expiry) continue;
      const auto found = merged.find(fingerprint);
      if (found == merged.end())
        merged.emplace(fingerprint, expiry);
      else if (expiry > found->second)
        found->second = expiry;
    }
    return Result<std::string, std::error_code>(render(merged, forgotten));
  });
}

std::uint64_t DenialMemory::forgotten_before(const std::string& journal,
                                             std::uint64_t journal_length) const {
  const auto found = forgotten.find(journal);
  if (found == forgotten.end() || journal_length < found->second) return 0;
  return found->second;
}

void DenialMemory::recall(const std::string& fingerprint, double until) {
  auto [at, fresh] = recalled.emplace(fingerprint, until);
  if (!fresh && until > at->second) at->second = until;
}

std::optional<double> DenialMemory::suppressed_until(double now, const Fingerprint& fingerprint) {
  std::erase_if(entries,
                [now](const auto& entry) { return !(entry.second + kKeptAfterExpiry >= now); });
  std::optional<double> until;
  for (const auto* held : {&entries, &recalled}) {
    const auto found = held->find(fingerprint.text);
    if (found != held->end() && found->second > now && !(until && *until >= found->second))
      until = found->second;
  }
  return until;
}

std::string DenialMemory::forgetting(const std::map<std::string, std::uint64_t>& forgotten) {
  return render({}, forgotten);
}

}  // namespace vavev_aziz
