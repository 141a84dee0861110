#include "vavev_aziz/support/platform.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
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
  const auto& limit = options.limit;
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

  const Clock::time_point deadline = limit ? Clock::now() + *limit : kNever;
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_streams = 2;
  bool timed_out = false;
  char buf[65536];
  while (open_streams > 0) {
    int wait_ms = -1;
    if (deadline != kNever) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        timed_out = true;
        break;
      }
      wait_ms = static_cast<int>(std::min<long long>(left.count() + 1, 60'000));
    }
    int n = ::poll(fds, 2, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;  // end of this stream
        --open_streams;
      }
    }
  }
  if (timed_out) ::kill(pid, SIGKILL);
  auto waited = timed_out ? wait_for(pid) : wait_until(pid, deadline, timed_out);
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

Result<std::string, std::error_code> read_file(const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Err{last_error()};
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{last_error()};
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  return content;
}

Result<void, std::error_code> create_folders(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return Err{ec};
  return {};
}

Result<void, std::error_code> replace_file(const std::filesystem::path& path,
                                           std::string_view content) {
  const auto parent = path.parent_path();
  if (auto made = create_parent(parent); !made) return made;

  auto part = path;
  part.replace_extension("json.part");
  {
    Fd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return Err{last_error()};
    if (auto w = write_all(fd.get(), content); !w) return w;
    // The bytes must be on the disk before the rename makes them the state of record;
    // otherwise a power loss can leave an empty file under the real name.
    if (auto s = sync(fd.get()); !s) return s;
    if (auto c = fd.close(); !c) return c;
  }
  if (::rename(part.c_str(), path.c_str()) != 0) return Err{last_error()};

  // Flush the folder so the rename itself is durable. File systems that cannot sync a folder
  // say so with EINVAL; that is not a failure of the save.
  Fd dir(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_CLOEXEC));
  if (dir.get() >= 0 && ::fsync(dir.get()) != 0 && errno != EINVAL && errno != ENOTSUP)
    return Err{last_error()};
  return {};
}

Result<AppendFile, std::error_code> AppendFile::open(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Err{last_error()};
  return AppendFile(fd);
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

Result<void, std::error_code> append_file(const std::filesystem::path& path,
                                          std::string_view content) {
  if (auto made = create_parent(path.parent_path()); !made) return made;
  auto file = AppendFile::open(path);
  if (!file) return Err{file.error()};
  return file->write(content);
}

}  // namespace vavev_aziz::platform
