// The scratch fixture every test that touches files, programs or the environment builds on: a
// fresh folder that is also HOME, with its `bin` folder first on PATH for fake programs, and an
// environment from which every variable the program reads has been removed, so a developer's
// own settings never reach a test. Every variable a test changes through `env` is put back
// afterwards, and the folder is removed with everything in it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "scoped_env.hpp"
#include "vavev_aziz/alpaca.hpp"

extern char** environ;

namespace tovra::testing {

// Whether the program reads the variable `name` (HOME and PATH aside: the fixture sets both).
// The one list of them, by family: ALPACA_* (the book selector, the default key pair, the
// broker overrides, the live switch, the expected account), TOVRA_* (where files live, who
// proposes), every book's key pair (<BOOK>_PAPER_KEY and <BOOK>_PAPER_SECRET, such as
// HACKATHON_PAPER_KEY), and the secrets program.
inline bool read_by_the_program(std::string_view name) {
  return name.starts_with("ALPACA_") || name.starts_with("TOVRA_") ||
         name.ends_with("_PAPER_KEY") || name.ends_with("_PAPER_SECRET") || name == "SECRETS_BIN";
}

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    vavev_aziz::alpaca::forget_vault_answers();
    std::vector<std::string> present;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view variable(*entry);
      const auto name = variable.substr(0, variable.find('='));
      if (read_by_the_program(name)) present.emplace_back(name);
    }
    for (const auto& name : present)
      env.unset(name);
    // The owner's alone, like the folder itself and every folder the program makes.
    std::filesystem::create_directories(bin());
    std::filesystem::permissions(bin(), std::filesystem::perms::owner_all);
    env.set("HOME", home().string());
    env.set("PATH", bin().string() + ":/usr/bin:/bin");
  }

  const std::filesystem::path& home() const { return scratch.path(); }
  std::filesystem::path bin() const { return home() / "bin"; }

  ScopedEnv env;
  ScratchFolder scratch;
};

}  // namespace tovra::testing
