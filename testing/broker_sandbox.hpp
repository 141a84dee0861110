// A test fixture for code that builds broker clients: every variable the client reads is
// cleared, HOME is a scratch folder, PATH holds only the scratch bin folder and the system's,
// the secrets program is a script that logs each call and finds nothing, and the fake broker
// serves both the trading and the market-data overrides. The default book has a key pair.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_broker.hpp"
#include "scoped_env.hpp"
#include "vavev_aziz/alpaca.hpp"

namespace tovra::testing {

class BrokerSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    vavev_aziz::alpaca::forget_vault_answers();
    for (const char* name :
         {"ALPACA_ACCOUNT", "ALPACA_API_KEY", "ALPACA_SECRET_KEY", "ALPACA_API_SECRET",
          "ALPACA_PAPER_TRADE", "ALPACA_BASE_URL", "ALPACA_DATA_URL", "ALPACA_EXPECT_ACCOUNT",
          "SECRETS_BIN", "HACKATHON_PAPER_KEY", "HACKATHON_PAPER_SECRET"})
      env.unset(name);
    env.set("HOME", scratch.path().string());
    env.set("PATH", (scratch.path() / "bin").string() + ":/usr/bin:/bin");
    secrets("exit 1");
    env.set("ALPACA_BASE_URL", broker.url());
    env.set("ALPACA_DATA_URL", broker.url());
    env.set("ALPACA_ACCOUNT", "default");
    env.set("ALPACA_API_KEY", "AKTESTKEY");
    env.set("ALPACA_SECRET_KEY", "test-secret");
  }

  // A client built from the sandbox's environment; a failure to build one fails the test.
  vavev_aziz::alpaca::Client client() {
    auto c = vavev_aziz::alpaca::Client::from_environment();
    EXPECT_TRUE(c) << c.error().display();
    return std::move(c).value();
  }

  // Makes SECRETS_BIN a script that appends its arguments as one line to the call log, then
  // runs `body`.
  void secrets(const std::string& body) {
    const auto log = (scratch.path() / "secrets.log").string();
    env.set("SECRETS_BIN",
            scratch.script("bin/fake-secrets", "echo \"$*\" >> '" + log + "'\n" + body).string());
  }

  // The argument lines the secrets program was called with, in order.
  std::vector<std::string> secrets_calls() const {
    std::vector<std::string> lines;
    std::ifstream in(scratch.path() / "secrets.log");
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  ScopedEnv env;
  ScratchFolder scratch;
  FakeBroker broker;
};

}  // namespace tovra::testing
