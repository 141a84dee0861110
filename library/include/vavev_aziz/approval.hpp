// The owner: how a question reaches the account's owner, and what the owner's last "no" keeps
// from being asked again.
//
// `Asker` is the owner channel; `ImsgAsker` puts the question as a text message through the
// external `imsg` program. `Fingerprint` names one kind of order (symbol, class, side,
// direction and a half-decade band of the notional), and `DenialMemory` maps fingerprints to
// the time until which the owner's refusal suppresses them, kept in denials.json.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "vavev_aziz/order.hpp"
#include "vavev_aziz/support/duration.hpp"
#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz {

// The owner channel's answer to one question.
struct Verdict {
  struct Approved {
    friend bool operator==(const Approved&, const Approved&) = default;
  };
  struct Denied {
    friend bool operator==(const Denied&, const Denied&) = default;
  };
  // Nobody answered within the time limit.
  struct Expired {
    friend bool operator==(const Expired&, const Expired&) = default;
  };
  // The question reached nobody; `reason` says why (for the messaging program, one of the
  // fixed texts below).
  struct Undeliverable {
    std::string reason;
    friend bool operator==(const Undeliverable&, const Undeliverable&) = default;
  };
  // Staged for a later answer.
  struct Parked {
    friend bool operator==(const Parked&, const Parked&) = default;
  };
  std::variant<Approved, Denied, Expired, Undeliverable, Parked> value;

  bool approved() const { return std::holds_alternative<Approved>(value); }
  bool denied() const { return std::holds_alternative<Denied>(value); }
  bool expired() const { return std::holds_alternative<Expired>(value); }
  const Undeliverable* undeliverable() const { return std::get_if<Undeliverable>(&value); }
  bool parked() const { return std::holds_alternative<Parked>(value); }
  friend bool operator==(const Verdict&, const Verdict&) = default;
};

// The fixed reasons of an undeliverable question.
inline constexpr std::string_view kImsgNotRunnable = "imsg not runnable";
inline constexpr std::string_view kSendFailed = "send failed";
inline constexpr std::string_view kNoHandle = "no handle configured \u2014 `imsg self <number>`";
inline constexpr std::string_view kNonVerdict = "imsg returned a non-verdict status";

// The owner channel.
class Asker {
 public:
  virtual ~Asker() = default;
  // Puts `question` to the owner and blocks until an answer, the end of `ttl`, or a failure
  // of the channel; failures come back as verdicts, never as errors.
  virtual Verdict ask(const std::string& question, Duration ttl) = 0;
};

// The owner channel through the messaging program, which knows the owner's handle itself.
class ImsgAsker final : public Asker {
 public:
  ImsgAsker() = default;
  explicit ImsgAsker(std::string program) : program(std::move(program)) {}

  // Runs `program approve <question> --timeout <whole seconds of ttl>`, without the broker
  // keys in its environment, and waits for it to end, at most the whole seconds of `ttl` plus
  // `grace`. Exit 0: approved; exit 1: denied; any other ending is read from the first MiB of
  // standard output (a timeout flag set to true: expired; "send failed"; "no handle");
  // anything else, a program that cannot start, or one still running at the bound (it is then
  // ended) is undeliverable.
  Verdict ask(const std::string& question, Duration ttl) override;

  // The program to run; a name without a folder part is looked up on the search path.
  std::string program = "imsg";
  // How long past the question's time-out the program may run before it is ended.
  Duration grace = Duration::seconds(60);
};

// The key that names one kind of order: "SYMBOL|class|side|open or close|b<bucket>".
struct Fingerprint {
  std::string text;

  // The symbol's one spelling (`instrument_key`), the asset class and side words, the order's own
  // intent ("open" / "close"), and the bucket floor(2 * log10(notional)); a notional that is
  // not a finite positive number takes the smallest 64-bit integer as its bucket.
  static Fingerprint of(const Order& order);
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// What the owner refused and until when (epoch seconds), shared by every account. Each
// account's journal keeps the owner's refusals too, so one this memory lacks (its save failed,
// or a run whose clock was ahead dropped it) still binds that account (`recall`).
struct DenialMemory {
  // Fingerprint text to expiry, keys in ascending byte order.
  std::map<std::string, double> entries;
  // The entries as `load` read them, so a save can tell this run's changes from the file's.
  std::map<std::string, double> loaded;
  // Where `memory --forget` last forgot each account's refusals: the journal's name (its path
  // from the folder of denials.json, "journal.jsonl" or "book/journal.jsonl") to its length
  // then, through its last line feed. A refusal journalled before that place is forgotten.
  std::map<std::string, std::uint64_t> forgotten;
  // Refusals recalled from the journal: they suppress like entries, and are never saved.
  std::map<std::string, double> recalled;

  // Reads denials.json. A missing, unreadable or invalid file is an empty memory; never fails
  // and prints nothing.
  static DenialMemory load(const std::filesystem::path& path);

  // Merges this run's changes into the file as it stands now and replaces it atomically, under
  // the lock beside it (platform `update_file`), so overlapping runs lose no refusal: entries
  // added or renewed here are united with the file's, the later expiry winning; entries left
  // as they were read follow the file, so what `memory --forget` or another run's pruning
  // removed is not brought back; entries pruned here as expired go. The forget places are the
  // file's (this run's when the file has none). Recalled refusals are not saved. An unreadable
  // file counts as empty. The first failing step's error is returned; the old file then stays
  // as it was.
  Result<void, std::error_code> save(const std::filesystem::path& path) const;

  // The place in the journal `journal` (named as in `forgotten`, read `journal_length` far)
  // before which its refusals are forgotten; 0 when none was forgotten, or when the journal is
  // shorter than the place (it was replaced since, and its refusals all stand).
  std::uint64_t forgotten_before(const std::string& journal, std::uint64_t journal_length) const;

  // Makes a refusal the journal holds suppress `fingerprint` until `until`, as an entry would,
  // without saving it: the later of the two expiries counts.
  void recall(const std::string& fingerprint, double until);

  // First drops every entry that expired more than a day before `now` (NaN included), then
  // returns the fingerprint's expiry, the entry's or the recalled one's, whichever is later,
  // when it is after `now`. An entry expired within the day suppresses nothing but stays, so a
  // run whose clock is ahead cannot erase a refusal.
  std::optional<double> suppressed_until(double now, const Fingerprint& fingerprint);

  // denials.json's text for a memory forgotten at the places `forgotten`: no entries.
  static std::string forgetting(const std::map<std::string, std::uint64_t>& forgotten);
};

}  // namespace vavev_aziz
