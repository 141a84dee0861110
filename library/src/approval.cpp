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
// Reading accepts any object with an "entries" object of numbers (integers too) and ignores
// other keys; anything else reads as an empty memory.
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

// The entries of a denials.json text; none when it is not UTF-8 text or does not read.
std::map<std::string, double> entries_in(const std::string& content) {
  if (!text::valid_utf8(content)) return {};
  std::map<std::string, double> entries;
  Reader r(content);
  auto read =
      json::read_object(r, "struct DenialMemory",
                        {json::Field{"entries", json::Presence::Required,
                                     [&entries](Reader& r) { return read_entries(r, entries); }}});
  if (!read || !r.finish()) return {};
  return entries;
}

// denials.json's text for `entries`.
std::string render(const std::map<std::string, double>& entries) {
  json::Json table = json::Json::object();
  for (const auto& [fingerprint, expiry] : entries) {
    // JSON has no NaN or infinity: written as null, one such entry would make the whole file
    // unreadable and so forget every other refusal. A file never yields one, so only a value
    // set in memory is left out here.
    if (std::isfinite(expiry)) table[fingerprint] = expiry;
  }
  json::Json root = json::Json::object();
  root["entries"] = std::move(table);
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
  // A crypto pair has several spellings (BTC/USD, BTCUSD, btc/usd) and one key.
  std::optional<std::string> pair;
  if (order.asset_class == AssetClass::Crypto) pair = crypto_pair(order.symbol);
  return Fingerprint{fmt::format("{}|{}|{}|{}|b{}", pair.value_or(text::ascii_upper(order.symbol)),
                                 word(order.asset_class), word(order.side),
                                 order.intent == Intent::Opening ? "open" : "close",
                                 bucket(order.notional))};
}

DenialMemory DenialMemory::load(const std::filesystem::path& path) {
  auto content = platform::read_file(path);
  if (!content) return {};
  DenialMemory memory;
  memory.entries = entries_in(*content);
  memory.loaded = memory.entries;
  return memory;
}

Result<void, std::error_code> DenialMemory::save(const std::filesystem::path& path) const {
  return platform::update_file(path, [this](const std::optional<std::string>& current) {
    auto merged = current ? entries_in(*current) : std::map<std::string, double>{};
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
    return Result<std::string, std::error_code>(render(merged));
  });
}

std::optional<double> DenialMemory::suppressed_until(double now, const Fingerprint& fingerprint) {
  std::erase_if(entries,
                [now](const auto& entry) { return !(entry.second + kKeptAfterExpiry >= now); });
  const auto found = entries.find(fingerprint.text);
  if (found == entries.end() || !(found->second > now)) return std::nullopt;
  return found->second;
}

}  // namespace vavev_aziz
