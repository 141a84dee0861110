// `memory`: which kinds of order the owner has refused and how many minutes each refusal still
// binds (those of denials.json, and those the account's journal holds), the raw denials.json
// with `--json`, or every refusal forgotten with `--forget`. The listing never writes the file:
// expired entries stay until the next proposal prunes them.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "commands.hpp"
#include "memory_state.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "vavev_aziz/support/json_read.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::json::Json;

// Every refusal goes, for every account. Where journals keep refusals, the file is replaced by
// one that records how far each journal went, so the refusals written before stay forgotten;
// otherwise it is deleted. Either is done under the lock a save takes, so an `ask` saving at
// the same moment merges into it instead of writing the old entries back. unlink rather than
// std::filesystem::remove: a folder standing where the file should be is an error to report,
// not something to delete. Without a folder there is no lock file to take, and nothing to
// forget either.
Exit forget(const fs::path& path, Io io) {
  if (const auto lengths = journal_lengths(path); !lengths.empty()) {
    auto saved = vavev_aziz::platform::update_file(path, [&lengths](const auto&) {
      return vavev_aziz::Result<std::string, std::error_code>(
          vavev_aziz::DenialMemory::forgetting(lengths));
    });
    if (!saved) return fail(io.err, path.string() + ": " + saved.error().message());
    io.out << "forgot every refusal (" << path.string() << ")\n";
    return Exit::Ok;
  }
  auto lock = vavev_aziz::platform::FileLock::beside(path);
  if (!lock && lock.error() != std::errc::no_such_file_or_directory)
    return fail(io.err, path.string() + ": " + lock.error().message());
  if (::unlink(path.c_str()) == 0) {
    io.out << "forgot every refusal (" << path.string() << ")\n";
    return Exit::Ok;
  }
  const int failed = errno;
  if (failed == ENOENT) {
    io.out << "nothing remembered\n";
    return Exit::Ok;
  }
  return fail(io.err,
              path.string() + ": " + std::error_code(failed, std::generic_category()).message());
}

// A fingerprint's expiry: an integer or a floating-point number; anything else counts as 0.
double expiry_of(const Json& value) {
  return value.is_number() ? value.get<double>() : 0.0;
}

// The refusals the account's journal holds that still bind at `now` and that `memory --forget`
// has not forgotten; none when the account has no state folder to read.
std::map<std::string, double> journalled_refusals(const fs::path& path, double now) {
  const auto journal = state_path("journal.jsonl");
  if (!journal) return {};
  auto memory = vavev_aziz::DenialMemory::load(path);
  recall_journalled_refusals(memory,
                             vavev_aziz::Journal(*journal).trades(vavev_aziz::Refusals::Read),
                             journal_name(*journal, path));
  std::erase_if(memory.recalled, [now](const auto& no) { return !(no.second > now); });
  return memory.recalled;
}

void list_row(std::string_view fingerprint, double expiry, double now, Io io) {
  const double minutes = std::ceil((expiry - now) / 60.0);
  if (minutes > 0)
    io.out << "  " << fingerprint << "   " << vavev_aziz::numbers::fixed(minutes, 0)
           << " min left\n";
}

}  // namespace

Exit cmd_memory(const Args& args, Io io) {
  const auto path = memory_path();
  if (!path) return no_home(io.err);
  if (has(args, "--forget")) return forget(*path, io);

  // A file that is not UTF-8 text is no memory (as `ask` reads it), and not printed either.
  const auto read = vavev_aziz::platform::read_file(*path);
  const std::string text = read && vavev_aziz::text::valid_utf8(*read) ? *read : std::string("{}");
  if (has(args, "--json")) {
    io.out << text << '\n';
    return Exit::Ok;
  }

  const auto parsed = vavev_aziz::json::parse_value(text);
  const Json* entries = nullptr;
  if (parsed && parsed->is_object()) {
    auto found = parsed->find("entries");
    if (found != parsed->end() && found->is_object() && !found->empty()) entries = &*found;
  }
  const double now = vavev_aziz::platform::now_seconds();
  auto journalled = journalled_refusals(*path, now);
  if (entries == nullptr && journalled.empty()) {
    io.out << "nothing refused (or nothing still inside its suppression window)\n";
    return Exit::Ok;
  }

  // The file's entries in its order, each binding as long as the journal's copy does if that
  // is longer; then the refusals only the journal holds.
  io.out << path->string() << " \u2014 refusals still binding\n\n";
  if (entries != nullptr) {
    for (const auto& [fingerprint, value] : entries->items()) {
      double expiry = expiry_of(value);
      if (auto also = journalled.extract(fingerprint)) expiry = std::max(expiry, also.mapped());
      list_row(fingerprint, expiry, now, io);
    }
  }
  for (const auto& [fingerprint, expiry] : journalled)
    list_row(fingerprint, expiry, now, io);
  return Exit::Ok;
}

}  // namespace trade
