// The platform layer: random bytes, the wall clock, running an external program, and whole-
// file reads and atomic replacement. Everything that touches the operating system directly
// lives here, so the modules above stay plain computations over values.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
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
};

// Runs `program` with `args` (no shell; a name without "/" is looked up on PATH), standard
// input from /dev/null, standard output and standard error collected together so a chatty
// program cannot block on a full pipe, and waits for its end. Never throws.
RunOutcome run(const std::string& program, const std::vector<std::string>& args,
               const RunOptions& options = {});

// Reads a whole file as bytes.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// Creates `folder` and every missing ancestor (0777 before the file-creation mask); existing
// folders are fine.
Result<void, std::error_code> create_folders(const std::filesystem::path& folder);

// Replaces `path` whole with `content`: creates the parent folders, writes the sibling file
// whose extension is replaced by "json.part" (risk.json -> risk.json.part), flushes it to
// stable storage, renames it over `path`, then flushes the folder so the rename survives a
// power loss. The first failing step's error is returned; the old file stays intact unless
// the rename happened. A failure after the sibling was written leaves the sibling in place.
Result<void, std::error_code> replace_file(const std::filesystem::path& path,
                                           std::string_view content);

// A file opened for appending (created when missing, 0666 before the mask). No lock and no
// sync: the file is closed when the handle goes.
class AppendFile {
 public:
  static Result<AppendFile, std::error_code> open(const std::filesystem::path& path);
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

// Creates the parent folders of `path` when missing, then appends `content` in one write.
Result<void, std::error_code> append_file(const std::filesystem::path& path,
                                          std::string_view content);

}  // namespace vavev_aziz::platform
