// Test helpers for code that reads the environment and runs programs: environment changes that
// are undone at the end of the scope, and a scratch folder for files and fake programs.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace tovra::testing {

// Sets and removes environment variables; the destructor puts back every variable it touched
// as it was before the first change.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  void set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
  }

 private:
  void remember(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* old = ::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh folder under /tmp, removed with everything in it at the end of the scope (even when
// a test left it read-only). The one place the tests make a scratch folder.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/tovra-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::perror("tovra tests: no scratch folder under /tmp");
      std::abort();
    }
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }

  // Writes `content` to `name` below the folder (parents created) and returns its path.
  std::filesystem::path write(const std::string& name, const std::string& content) const {
    const auto p = path_ / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    return p;
  }

  // Writes an executable shell script `name` with `body` after the "#!/bin/sh" line.
  std::filesystem::path script(const std::string& name, const std::string& body) const {
    const auto p = write(name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(p, std::filesystem::perms::owner_all);
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tovra::testing
