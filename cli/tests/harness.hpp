// Test harness for the program: a scratch home, the environment the program will see, fake
// programs as scripts on PATH, and two ways to run a command line: in-process through
// trade::run, or end to end through the built binary.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_broker.hpp"
#include "run.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade::testing {

namespace fs = std::filesystem;

struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_text(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Journal lines for hand-built journals, each with its line end. `extra` is spliced in as
// further keys, such as R"(,"qty":10)".
inline std::string open_event(const std::string& id, const std::string& symbol,
                              const std::string& extra = "", const std::string& structure = "s",
                              const std::string& at = "1") {
  return R"({"event":"open","id":")" + id + R"(","at":)" + at + R"(,"symbol":")" + symbol +
         R"(","structure":")" + structure +
         R"(","thesis":"t","gate_rule":"r","approved_by":"rule")" + extra + "}\n";
}
inline std::string fill_event(const std::string& id, const std::string& filled = "1") {
  return R"({"event":"fill","id":")" + id + R"(","at":2,"status":"filled","filled_qty":)" + filled +
         R"(,"intended_qty":)" + filled + "}\n";
}
inline std::string close_event(const std::string& id, const std::string& pnl) {
  return R"({"event":"close","id":")" + id + R"(","at":3,"realized_pnl":)" + pnl +
         R"(,"outcome":"x"})" + "\n";
}

// The variables the program reads; all are removed before each test so the host's own
// settings never leak in.
inline const char* const kScrubbed[] = {
    "ALPACA_ACCOUNT",     "ALPACA_API_KEY",  "ALPACA_SECRET_KEY",  "ALPACA_API_SECRET",
    "ALPACA_PAPER_TRADE", "ALPACA_BASE_URL", "ALPACA_DATA_URL",    "ALPACA_EXPECT_ACCOUNT",
    "SECRETS_BIN",        "TOVRA_HOME",      "TOVRA_TRADE_CONFIG", "TOVRA_TRADE_BY",
};

// A fresh home folder per test; the environment is scrubbed and HOME points at it. A `bin`
// folder is put first on PATH for fake programs.
class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovra-test-XXXXXX";
    home_ = fs::path(::mkdtemp(tmpl));
    saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    for (const char* name : kScrubbed)
      ::unsetenv(name);
    vavev_aziz::alpaca::forget_vault_answers();
    set("HOME", home_.string());
    fs::create_directories(bin());
    set("PATH", bin().string() + ":" + saved_path_);
  }
  void TearDown() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    for (const char* name : kScrubbed)
      ::unsetenv(name);
    std::error_code ec;
    fs::remove_all(home_, ec);
  }

  void set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) { ::unsetenv(name.c_str()); }

  const fs::path& home() const { return home_; }
  fs::path bin() const { return home_ / "bin"; }
  // The default layout under the scratch home.
  fs::path config() const { return home_ / ".vuzado" / "config" / "trade.json"; }
  fs::path state(const std::string& name) const {
    return home_ / ".vuzado" / "var" / "trade" / name;
  }

  // Writes an executable shell script named `name` into the fake bin folder.
  void fake_program(const std::string& name, const std::string& body) {
    const auto p = bin() / name;
    write_text(p, "#!/bin/sh\n" + body + "\n");
    fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  }

  // Runs a command line in-process.
  Ran run(const Args& args) {
    std::ostringstream out, err;
    Ran r;
    r.code = trade::run(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  // Runs a command line through the built binary with the current environment.
  Ran run_binary(const Args& args) {
    auto o = vavev_aziz::platform::run(TOVRA_TRADE_BIN, args);
    Ran r;
    r.code = o.ending == vavev_aziz::platform::Ending::Exited ? o.status : -1;
    r.out = std::move(o.out);
    r.err = std::move(o.err);
    return r;
  }

 private:
  fs::path home_;
  std::string saved_path_;
};

// A scratch home whose default book reaches the fake broker: its key pair in the environment,
// both base-address overrides on the fake, and a secrets program that finds nothing.
class BrokerScratch : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    fake_program("fake-secrets", "exit 1");
    set("SECRETS_BIN", (bin() / "fake-secrets").string());
    set("ALPACA_ACCOUNT", "default");
    set("ALPACA_API_KEY", "AKTESTKEY");
    set("ALPACA_SECRET_KEY", "test-secret");
    set("ALPACA_BASE_URL", broker.url());
    set("ALPACA_DATA_URL", broker.url());
  }

  tovra::testing::FakeBroker broker;
};

}  // namespace trade::testing
