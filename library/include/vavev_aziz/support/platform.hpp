// The platform layer: random bytes, the wall clock, running an external program, whole-file
// reads, atomic replacement under a lock, and appends. Everything that touches the operating
// system directly lives here, so the modules above stay plain computations over values.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz::platform {

// Fills `out` with `size` bytes from the platform's random source.
Result<void, std::error_code> random_bytes(unsigned char* out, std::size_t size);

// Seconds since the Unix epoch with the fraction (whole seconds plus nanoseconds / 1e9);
// 0.0 when the clock reads before the epoch.
double now_seconds();

// How a program run ended. Exited and Signaled are the program's own endings; CouldNotStart
// means it never ran (missing, not executable) or its ending could not be learned; TimedOut
// means it was ended by us.
enum class Ending { Exited, Signaled, CouldNotStart, TimedOut };

struct RunOutcome {
  Ending ending = Ending::CouldNotStart;
  int status = 0;               // the exit status (Exited) or the signal number (Signaled)
  std::string out;              // everything the program wrote to standard output
  std::string err;              // everything it wrote to standard error
  std::error_code start_error;  // why it could not start (CouldNotStart)

  bool exited_with(int code) const { return ending == Ending::Exited && status == code; }
};

struct RunOptions {
  // End the program (SIGKILL) once this has passed, whether or not it still writes, and
  // report TimedOut.
  std::optional<std::chrono::milliseconds> limit;
  // The program's whole environment ("NAME=value" entries); the process's own when absent.
  std::optional<std::vector<std::string>> environment;
  // At most this many bytes of each output are kept; the rest is still read, and dropped, so
  // the program never blocks on a full pipe.
  std::size_t output_limit = SIZE_MAX;
};

// Runs `program` with `args` (no shell; a name without "/" is looked up on PATH), standard
// input from /dev/null, standard output and standard error read side by side so a chatty
// program cannot block on a full pipe, and waits for its end. The run ends when the program
// ends: what its outputs already hold is read then, even when a process it started still holds
// them open. Never throws.
RunOutcome run(const std::string& program, const std::vector<std::string>& args,
               const RunOptions& options = {});

// Reads a whole file as bytes.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// Every file this layer creates is the owner's alone (0600) and every folder 0700, whatever
// the file-creation mask; files and folders that already exist keep their modes.

// Creates `folder` and every missing ancestor; existing folders are fine.
Result<void, std::error_code> create_folders(const std::filesystem::path& folder);

// Replaces `path` whole with `content`: creates the parent folders, writes a sibling file of
// its own in the same folder (a random token before the "json.part" extension: risk.json ->
// risk.<token>.json.part), created new and never through a symlink, flushes it to stable
// storage, renames it over `path` (a symlink standing at `path` is replaced, not followed),
// then flushes the folder so the rename survives a power loss. The first failing step's error
// is returned; the old file stays intact unless the rename happened, and a sibling that was
// not renamed is removed. Takes no lock: see `update_file`.
Result<void, std::error_code> replace_file(const std::filesystem::path& path,
                                           std::string_view content);

// An exclusive advisory lock (flock) on the lock file "<path>.lock" beside a state file, held
// until the handle goes. The lock file is created when missing and never removed. Waiting for
// another holder is bounded (10 s); past that, or when the lock file cannot be opened, the
// error is returned.
class FileLock {
 public:
  static Result<FileLock, std::error_code> beside(const std::filesystem::path& path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  FileLock() = default;
  int fd_ = -1;
};

// What a save makes of the file's current content (absent when there is no file): the text
// to write, or the error that stops the save.
using Update =
    std::function<Result<std::string, std::error_code>(const std::optional<std::string>& current)>;

// Load, merge and save in one step: creates the parent folders, takes the lock beside `path`,
// reads the file, and replaces it (as `replace_file` does) with what `update` returns, holding
// the lock throughout, so runs that overlap each merge into what the other saved instead of
// overwriting it. A read error other than a missing file is returned, and so is the first
// failing step's error; the file is then unchanged.
Result<void, std::error_code> update_file(const std::filesystem::path& path, const Update& update);

// A file opened for appending (created when missing). No lock and no sync: the file is closed
// when the handle goes.
class AppendFile {
 public:
  static Result<AppendFile, std::error_code> open(const std::filesystem::path& path);
  // The same for a file that must be new: fails with file_exists when anything stands at
  // `path`, a dangling symlink included.
  static Result<AppendFile, std::error_code> create(const std::filesystem::path& path);
  // Writes the whole text at the end of the file (one write unless the system cuts it short).
  Result<void, std::error_code> write(std::string_view content);

  AppendFile(AppendFile&& other) noexcept;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();

 private:
  explicit AppendFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Creates the parent folders of `path` when missing, then appends `line` (which carries its
// own line feed) in one write. When the file's last byte is not a line feed, one is written
// first, so a line an earlier write left unfinished is not joined to this one.
Result<void, std::error_code> append_line(const std::filesystem::path& path, std::string_view line);

}  // namespace vavev_aziz::platform
