// `memory`: which kinds of order the owner has refused and how many minutes each refusal still
// binds, the raw denials.json with `--json`, or every refusal forgotten with `--forget`. The
// listing never writes the file: expired entries stay until the next proposal prunes them.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "commands.hpp"
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

// unlink rather than std::filesystem::remove: a folder standing where the file should be is
// an error to report, not something to delete. Under the lock a save takes, so an `ask`
// saving at the same moment merges into the deletion instead of writing the old entries back.
// Without a folder there is no lock file to take, and nothing to forget either.
Exit forget(const fs::path& path, Io io) {
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
  if (entries == nullptr) {
    io.out << "nothing refused (or nothing still inside its suppression window)\n";
    return Exit::Ok;
  }

  const double now = vavev_aziz::platform::now_seconds();
  io.out << path->string() << " \u2014 refusals still binding\n\n";
  for (const auto& [fingerprint, value] : entries->items()) {
    const double minutes = std::ceil((expiry_of(value) - now) / 60.0);
    if (minutes > 0)
      io.out << "  " << fingerprint << "   " << vavev_aziz::numbers::fixed(minutes, 0)
             << " min left\n";
  }
  return Exit::Ok;
}

}  // namespace trade
