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

// The most a whole-file read takes: far above any state or configuration file, so a larger
// file is damaged or not one of ours, and reads as unreadable rather than filling the memory.
inline constexpr std::size_t kLargestFile = std::size_t{64} << 20;

// The error for a path that holds neither a regular file nor a folder: a FIFO, a device or a
// socket. Its message is "not a regular file".
std::error_code not_a_regular_file();

// A regular file open for reading. Opening never waits (a FIFO or a device at the path would
// hold an ordinary open or read for ever) and takes nothing but a regular file: a folder is
// is_a_directory, anything else `not_a_regular_file`.
class InputFile {
 public:
  static Result<InputFile, std::error_code> open(const std::filesystem::path& path);
  // The file's size when it was opened.
  std::uint64_t size() const { return size_; }
  // Reads at most `size` bytes into `out`: how many it read, 0 at the end of the file.
  Result<std::size_t, std::error_code> read(char* out, std::size_t size);
  // The same from `offset` on, leaving the position of `read` where it was.
  Result<std::size_t, std::error_code> read_at(char* out, std::size_t size, std::uint64_t offset);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

 private:
  InputFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Reads a whole regular file as bytes (opened as `InputFile` opens it). A file larger than
// kLargestFile is file_too_large.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// The last `limit` bytes of a regular file, or all of it when it is no larger.
Result<std::string, std::error_code> read_file_end(const std::filesystem::path& path,
                                                   std::size_t limit);

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
// not renamed is removed. Siblings of `path` older than an hour, which a run killed while
// saving left behind, are removed first. Takes no lock: see `update_file`.
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

// A file opened for appending (created when missing). Only a regular file is opened, without
// waiting: a FIFO or a device at the path is `not_a_regular_file`, and nothing is written
// through it. No lock and no sync: the file is closed when the handle goes.
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
// own line feed) in one write, to a regular file only (as `AppendFile`). When the file's last byte
// is not a line feed, one is written first, so a line an earlier write left unfinished is not
// joined to this one. Returns where the line starts in the file (its first byte's offset).
Result<std::uint64_t, std::error_code> append_line(const std::filesystem::path& path,
                                                   std::string_view line);

}  // namespace vavev_aziz::platform
