// Test harness for the program: the shared scratch fixture (a scratch home, the environment the
// program will see) with fake programs as scripts on PATH, and two ways to run a command line:
// in-process through trade::run, or end to end through the built binary.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "order_options.hpp"
#include "run.hpp"
#include "scratch.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade::testing {

namespace fs = std::filesystem;

struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};

// One argument list followed by another.
inline Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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

// The options of `check` and `ask` in `args`, which must read.
inline OrderOptions order_options(const Args& args) {
  std::ostringstream err;
  auto read = read_order_options(args, "check", err);
  EXPECT_TRUE(read) << err.str();
  return read ? *read : OrderOptions{};
}

// A test of the program on the shared scratch fixture `Fixture`: its home holds the default
// file layout, fake programs go into its bin folder, and a command line runs in-process through
// trade::run or end to end through the built binary.
template <class Fixture>
class Program : public Fixture {
 protected:
  void set(const std::string& name, const std::string& value) { this->env.set(name, value); }
  void unset(const std::string& name) { this->env.unset(name); }

  // The default layout under the scratch home.
  fs::path config() const { return this->home() / ".vuzado" / "config" / "trade.json"; }
  fs::path state(const std::string& name) const {
    return this->home() / ".vuzado" / "var" / "trade" / name;
  }

  // Writes an executable shell script named `name` into the fake bin folder.
  void fake_program(const std::string& name, const std::string& body) {
    this->scratch.script("bin/" + name, body);
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
};

// A scratch home with nothing selected and no broker.
using Scratch = Program<tovra::testing::Scratch>;

// A scratch home whose default book reaches the fake broker: its key pair in the environment,
// both base-address overrides on the fake, and a secrets program that finds nothing.
using BrokerScratch = Program<tovra::testing::BrokerSandbox>;

}  // namespace trade::testing
