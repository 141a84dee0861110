#include "vavev_aziz/support/platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/random.h>  // getentropy, which macOS does not declare in <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

extern char** environ;

namespace vavev_aziz::platform {
namespace {

std::error_code last_error() {
  return std::error_code(errno, std::system_category());
}

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset();
    fd_ = std::exchange(o.fd_, -1);
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes and reports the close's own error (a delayed write error shows up here).
  Result<void, std::error_code> close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) return Err{last_error()};
    return {};
  }

 private:
  int fd_ = -1;
};

Result<void, std::error_code> make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe(fds) != 0) return Err{last_error()};
  read_end = Fd(fds[0]);
  write_end = Fd(fds[1]);
  for (int fd : fds)
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return {};
}

Result<void, std::error_code> write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{last_error()};
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Flushes a file to stable storage. On macOS plain fsync only reaches the drive's cache.
Result<void, std::error_code> sync(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd) != 0) return Err{last_error()};
  return {};
}

// Creates the folder a file is to live in; a bare file name (empty parent) needs none.
Result<void, std::error_code> create_parent(const std::filesystem::path& parent) {
  if (parent.empty()) return {};
  return create_folders(parent);
}

// Creates `path` as a new file, the owner's alone (0600 whatever the file-creation mask). It
// fails when anything stands there, a symlink included, so nothing is written through one.
Result<Fd, std::error_code> create_new(const std::filesystem::path& path, int flags) {
  Fd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return Err{last_error()};
  if (::fchmod(fd.get(), 0600) != 0) {
    const auto failed = last_error();
    ::unlink(path.c_str());
    return Err{failed};
  }
  return fd;
}

class NotRegularCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "tovra file"; }
  std::string message(int) const override { return "not a regular file"; }
};

// Opens the regular file at `path` with `flags`. O_NONBLOCK keeps the open itself from waiting
// (a FIFO without a writer or reader, some devices); once the descriptor is known to be a
// regular file it goes back to ordinary reads and writes. `size` receives the file's size.
Result<Fd, std::error_code> open_regular(const std::filesystem::path& path, int flags,
                                         std::uint64_t* size = nullptr) {
  Fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    // A FIFO nobody reads, or a socket, refuses a non-blocking open for writing this way.
    if (errno == ENXIO) return Err{not_a_regular_file()};
    return Err{last_error()};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Err{last_error()};
  if (S_ISDIR(st.st_mode)) return Err{std::make_error_code(std::errc::is_a_directory)};
  if (!S_ISREG(st.st_mode)) return Err{not_a_regular_file()};
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return Err{last_error()};
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return fd;
}

// Opens `path` with `flags`, creating it (as `create_new` does) when it is missing; only a
// regular file is opened.
Result<Fd, std::error_code> open_or_create(const std::filesystem::path& path, int flags) {
  // A file removed between the two opens sends us round again; three rounds are plenty.
  for (int round = 0; round < 3; ++round) {
    auto created = create_new(path, flags);
    if (created || created.error() != std::errc::file_exists) return created;
    auto fd = open_regular(path, flags);
    if (fd || fd.error() != std::errc::no_such_file_or_directory) return fd;
  }
  return Err{std::make_error_code(std::errc::no_such_file_or_directory)};
}

// Reads until `size` bytes are in `out` or the file ends: how many were read.
Result<std::size_t, std::error_code> read_full(int fd, char* out, std::size_t size,
                                               std::optional<std::uint64_t> offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = offset ? ::pread(fd, out + got, size - got, static_cast<off_t>(*offset + got))
                             : ::read(fd, out + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{last_error()};
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// A sibling of `path` in the same folder that no other run can be writing: the name with a
// random token before the "json.part" extension (risk.json -> risk.3f09a1c4d2b87e65.json.part),
// created new. Two saves never share a sibling, so neither can truncate the other's.
Result<Fd, std::error_code> create_sibling(const std::filesystem::path& path,
                                           std::filesystem::path& sibling) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int round = 0; round < 8; ++round) {
    unsigned char bytes[8];
    if (auto r = random_bytes(bytes, sizeof bytes); !r) return Err{r.error()};
    std::string token;
    for (unsigned char b : bytes) {
      token += kHex[b >> 4];
      token += kHex[b & 0xF];
    }
    sibling = path;
    sibling.replace_filename(path.stem().string() + "." + token + ".json.part");
    auto fd = create_new(sibling, O_WRONLY);
    if (fd || fd.error() != std::errc::file_exists) return fd;
  }
  return Err{std::make_error_code(std::errc::file_exists)};
}

// Whether `name` is a sibling that a save of `file` makes ("risk.<16 hex>.json.part" for
// risk.json), or the plain "risk.json.part" of earlier versions.
bool sibling_name(std::string_view name, const std::filesystem::path& file) {
  const std::string stem = file.stem().string() + ".";
  constexpr std::string_view kPart = "json.part";
  if (!name.starts_with(stem) || !name.ends_with(kPart)) return false;
  name.remove_prefix(stem.size());
  name.remove_suffix(kPart.size());
  if (name.empty()) return true;
  constexpr std::size_t kToken = 16;
  return name.size() == kToken + 1 && name.back() == '.' &&
         std::all_of(name.begin(), name.end() - 1,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A sibling older than this was left by a run that died while saving: a save holds its own
// for well under a second.
constexpr std::chrono::hours kStaleSibling{1};

// Removes the stale siblings of `path` from its folder, each a regular file (never a link, a
// folder or what a link points to). Nothing here is an error: a sibling that stays is only
// litter.
void remove_stale_siblings(const std::filesystem::path& path) {
  const auto parent = path.parent_path();
  DIR* dir = ::opendir(parent.empty() ? "." : parent.c_str());
  if (dir == nullptr) return;
  const auto cutoff = static_cast<std::int64_t>(now_seconds()) -
                      std::chrono::duration_cast<std::chrono::seconds>(kStaleSibling).count();
  while (const dirent* entry = ::readdir(dir)) {
    if (!sibling_name(entry->d_name, path)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && static_cast<std::int64_t>(st.st_mtime) < cutoff)
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

// How long a save waits for another run's save to finish with the lock before it gives up.
// A save holds the lock for a read, a write and two flushes, well under a second.
constexpr std::chrono::seconds kLockWait{10};

using Clock = std::chrono::steady_clock;

// Waits for the child's end and returns its wait status, or the error when the status cannot
// be had (never a made-up status of 0, which would read as a successful exit).
Result<int, std::error_code> wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Err{last_error()};
  }
  return status;
}

// No time limit: a deadline that never comes.
constexpr Clock::time_point kNever = Clock::time_point::max();

// The moment `limit` from now; a limit too far off to represent is no limit.
Clock::time_point deadline_after(const std::optional<std::chrono::milliseconds>& limit) {
  if (!limit) return kNever;
  const auto now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(kNever - now);
  if (*limit >= room) return kNever;
  return now + *limit;
}

// Waits for the child's end, ending it once `deadline` passes (then `timed_out` is set). A
// program can close both outputs and keep running, so the limit must hold here as well as
// while its outputs are read.
Result<int, std::error_code> wait_until(pid_t pid, Clock::time_point deadline, bool& timed_out) {
  if (deadline == kNever) return wait_for(pid);
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return Err{last_error()};
    if (Clock::now() >= deadline) {
      timed_out = true;
      ::kill(pid, SIGKILL);
      return wait_for(pid);
    }
    ::poll(nullptr, 0, 10);
  }
}

// How often a run that waits on the program's outputs looks whether the program itself has
// ended: a process it started may hold the outputs open long after it is gone.
constexpr int kEndCheckMs = 20;

// After the program's end, at most this much more is read from each output, so a process it
// left behind that writes without pause cannot hold the run.
constexpr std::size_t kDrainBound = 1u << 20;

// Appends what still fits under `limit` to `sink` and drops the rest.
void keep(std::string& sink, const char* data, std::size_t size, std::size_t limit) {
  if (sink.size() < limit) sink.append(data, std::min(size, limit - sink.size()));
}

// Reads what the non-blocking `fd` holds now, stopping when it is empty or at its end.
void drain(int fd, std::string& sink, std::size_t limit) {
  char buf[65536];
  for (std::size_t taken = 0; taken < kDrainBound;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got > 0) {
      keep(sink, buf, static_cast<std::size_t>(got), limit);
      taken += static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      return;
    }
  }
}

// While it lives, SIGCHLD is not ignored. When a parent leaves SIGCHLD ignored (the setting
// survives exec), children are reaped by the system and waitpid can never see their status.
class ChildStatusVisible {
 public:
  ChildStatusVisible() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return;
    if (current.sa_handler != SIG_IGN && (current.sa_flags & SA_NOCLDWAIT) == 0) return;
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    if (::sigaction(SIGCHLD, &plain, &saved_) == 0) restore_ = true;
  }
  ~ChildStatusVisible() {
    if (restore_) ::sigaction(SIGCHLD, &saved_, nullptr);
  }
  ChildStatusVisible(const ChildStatusVisible&) = delete;
  ChildStatusVisible& operator=(const ChildStatusVisible&) = delete;

 private:
  struct sigaction saved_ {};
  bool restore_ = false;
};

}  // namespace

Result<void, std::error_code> random_bytes(unsigned char* out, std::size_t size) {
  // getentropy gives at most 256 bytes per call.
  while (size > 0) {
    std::size_t chunk = size < 256 ? size : 256;
    if (::getentropy(out, chunk) != 0) return Err{last_error()};
    out += chunk;
    size -= chunk;
  }
  return {};
}

double now_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

RunOutcome run(const std::string& program, const std::vector<std::string>& args,
               const RunOptions& options) {
  RunOutcome outcome;
  Fd out_r, out_w, err_r, err_w;
  if (auto p = make_pipe(out_r, out_w); !p) {
    outcome.start_error = p.error();
    return outcome;
  }
  if (auto p = make_pipe(err_r, err_w); !p) {
    outcome.start_error = p.error();
    return outcome;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_w.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_w.get(), 2);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  if (options.environment) {
    for (const auto& e : *options.environment)
      envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }

  const ChildStatusVisible visible;
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(),
                          options.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  out_w.reset();
  err_w.reset();
  if (rc != 0) {
    outcome.start_error = std::error_code(rc, std::system_category());
    return outcome;
  }

  for (const Fd* fd : {&out_r, &err_r})
    ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
  const Clock::time_point deadline = deadline_after(options.limit);
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_streams = 2;
  bool timed_out = false;
  std::optional<Result<int, std::error_code>> ended;  // once the program's end is known
  char buf[65536];
  while (open_streams > 0) {
    int wait_ms = kEndCheckMs;
    if (deadline != kNever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        timed_out = true;
        break;
      }
      wait_ms = static_cast<int>(std::min<long long>(left.count() + 1, kEndCheckMs));
    }
    const int n = ::poll(fds, 2, wait_ms);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; n > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        keep(*sinks[i], buf, static_cast<std::size_t>(got), options.output_limit);
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;  // end of this stream
        --open_streams;
      }
    }
    // The program's end closes the run, not its outputs' end: a process it left behind may
    // hold them open for as long as that one lives.
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      ended.emplace(status);
    } else if (got < 0 && errno != EINTR) {
      ended.emplace(Err{last_error()});
    }
    if (ended) {
      for (int i = 0; i < 2; ++i)
        if (fds[i].fd >= 0) drain(fds[i].fd, *sinks[i], options.output_limit);
      break;
    }
  }
  if (timed_out) ::kill(pid, SIGKILL);
  auto waited = ended       ? std::move(*ended)
                : timed_out ? wait_for(pid)
                            : wait_until(pid, deadline, timed_out);
  if (timed_out) {
    outcome.ending = Ending::TimedOut;
  } else if (!waited) {
    // The program ran but how it ended cannot be known: report it as not run rather than
    // guess, so no caller takes it for success.
    outcome.start_error = waited.error();
  } else if (WIFEXITED(*waited)) {
    outcome.ending = Ending::Exited;
    outcome.status = WEXITSTATUS(*waited);
  } else {
    outcome.ending = Ending::Signaled;
    outcome.status = WIFSIGNALED(*waited) ? WTERMSIG(*waited) : 0;
  }
  return outcome;
}

std::error_code not_a_regular_file() {
  static const NotRegularCategory category;
  return std::error_code(1, category);
}

Result<InputFile, std::error_code> InputFile::open(const std::filesystem::path& path) {
  std::uint64_t size = 0;
  auto fd = open_regular(path, O_RDONLY, &size);
  if (!fd) return Err{fd.error()};
  return InputFile(fd->release(), size);
}

Result<std::size_t, std::error_code> InputFile::read(char* out, std::size_t size) {
  return read_full(fd_, out, size, std::nullopt);
}

Result<std::size_t, std::error_code> InputFile::read_at(char* out, std::size_t size,
                                                        std::uint64_t offset) {
  return read_full(fd_, out, size, offset);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  size_ = other.size_;
  return *this;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::string, std::error_code> read_file(const std::filesystem::path& path) {
  auto file = InputFile::open(path);
  if (!file) return Err{file.error()};
  const auto too_large = std::make_error_code(std::errc::file_too_large);
  if (file->size() > kLargestFile) return Err{too_large};
  // One byte past the size at opening, so a file that has grown since shows it.
  std::string content(static_cast<std::size_t>(file->size()) + 1, '\0');
  std::size_t have = 0;
  for (;;) {
    auto got = file->read(content.data() + have, content.size() - have);
    if (!got) return Err{got.error()};
    have += *got;
    if (have < content.size()) break;
    if (content.size() > kLargestFile) return Err{too_large};
    content.resize(std::min(2 * content.size(), kLargestFile + 1));
  }
  content.resize(have);
  return content;
}

Result<std::string, std::error_code> read_file_end(const std::filesystem::path& path,
                                                   std::size_t limit) {
  auto file = InputFile::open(path);
  if (!file) return Err{file.error()};
  const std::uint64_t from = file->size() > limit ? file->size() - limit : 0;
  std::string content(static_cast<std::size_t>(file->size() - from), '\0');
  auto got = file->read_at(content.data(), content.size(), from);
  if (!got) return Err{got.error()};
  content.resize(*got);
  return content;
}

Result<void, std::error_code> create_folders(const std::filesystem::path& folder) {
  if (folder.empty()) return {};
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return Err{std::make_error_code(std::errc::not_a_directory)};
  }
  if (errno != ENOENT) return Err{last_error()};
  if (const auto parent = folder.parent_path(); parent != folder) {
    if (auto made = create_folders(parent); !made) return made;
  }
  if (::mkdir(folder.c_str(), 0700) != 0) {
    // Another run may have made it in the meantime.
    if (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return Err{last_error()};
  }
  // mkdir's mode passes through the file-creation mask; the folder is the owner's alone.
  if (::chmod(folder.c_str(), 0700) != 0) return Err{last_error()};
  return {};
}

Result<void, std::error_code> replace_file(const std::filesystem::path& path,
                                           std::string_view content) {
  const auto parent = path.parent_path();
  if (auto made = create_parent(parent); !made) return made;
  remove_stale_siblings(path);

  std::filesystem::path part;
  {
    auto fd = create_sibling(path, part);
    if (!fd) return Err{fd.error()};
    auto written = write_all(fd->get(), content);
    // The bytes must be on the disk before the rename makes them the state of record;
    // otherwise a power loss can leave an empty file under the real name.
    if (written) written = sync(fd->get());
    if (written) written = fd->close();
    if (written && ::rename(part.c_str(), path.c_str()) != 0) written = Err{last_error()};
    if (!written) {
      // Nobody else knows this sibling's name: left behind, it would only pile up.
      ::unlink(part.c_str());
      return written;
    }
  }

  // Flush the folder so the rename itself is durable. File systems that cannot sync a folder
  // say so with EINVAL; that is not a failure of the save.
  Fd dir(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_CLOEXEC));
  if (dir.get() >= 0 && ::fsync(dir.get()) != 0 && errno != EINVAL && errno != ENOTSUP)
    return Err{last_error()};
  return {};
}

Result<FileLock, std::error_code> FileLock::beside(const std::filesystem::path& path) {
  auto lock_path = path;
  lock_path += ".lock";
  auto fd = open_or_create(lock_path, O_RDWR | O_NOFOLLOW);
  if (!fd) return Err{fd.error()};
  const auto deadline = Clock::now() + kLockWait;
  while (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || Clock::now() >= deadline) return Err{last_error()};
    ::poll(nullptr, 0, 5);
  }
  FileLock lock;
  lock.fd_ = fd->release();
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

Result<void, std::error_code> update_file(const std::filesystem::path& path, const Update& update) {
  if (auto made = create_parent(path.parent_path()); !made) return made;
  auto lock = FileLock::beside(path);
  if (!lock) return Err{lock.error()};
  std::optional<std::string> current;
  if (auto read = read_file(path)) {
    current = std::move(*read);
  } else if (read.error() != std::errc::no_such_file_or_directory) {
    return Err{read.error()};
  }
  auto content = update(current);
  if (!content) return Err{content.error()};
  return replace_file(path, *content);
}

Result<AppendFile, std::error_code> AppendFile::open(const std::filesystem::path& path) {
  auto fd = open_or_create(path, O_WRONLY | O_APPEND);
  if (!fd) return Err{fd.error()};
  return AppendFile(fd->release());
}

Result<AppendFile, std::error_code> AppendFile::create(const std::filesystem::path& path) {
  auto fd = create_new(path, O_WRONLY | O_APPEND);
  if (!fd) return Err{fd.error()};
  return AppendFile(fd->release());
}

Result<void, std::error_code> AppendFile::write(std::string_view content) {
  return write_all(fd_, content);
}

AppendFile::AppendFile(AppendFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  return *this;
}

AppendFile::~AppendFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::uint64_t, std::error_code> append_line(const std::filesystem::path& path,
                                                   std::string_view line) {
  if (auto made = create_parent(path.parent_path()); !made) return Err{made.error()};
  auto fd = open_or_create(path, O_RDWR | O_APPEND);
  if (!fd) return Err{fd.error()};
  // A last line left without its line feed (a full disk, a crash between two writes) would
  // swallow this one, and both would be lost: end it first, so it costs only itself. When the
  // last byte cannot be learned, a line feed is written anyway; a blank line is harmless.
  bool ended = true;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) {
    st.st_size = 0;
    ended = false;
  } else if (st.st_size > 0) {
    char last = 0;
    ended = ::pread(fd->get(), &last, 1, st.st_size - 1) == 1 && last == '\n';
  }
  std::string ending;
  if (!ended) {
    ending.reserve(line.size() + 1);
    ending += '\n';
    ending += line;
  }
  if (auto written = write_all(fd->get(), ended ? line : std::string_view(ending)); !written)
    return Err{written.error()};
  // Each write goes to the end of the file as it is then, which another run may have moved
  // since the size above was read: where the line landed is where the file now ends, less the
  // line. Should that not be learned, the size before is the nearest lower bound.
  const off_t end = ::lseek(fd->get(), 0, SEEK_CUR);
  const auto size = static_cast<std::uint64_t>(line.size());
  if (end < 0 || static_cast<std::uint64_t>(end) < size)
    return static_cast<std::uint64_t>(st.st_size);
  return static_cast<std::uint64_t>(end) - size;
}

}  // namespace vavev_aziz::platform
