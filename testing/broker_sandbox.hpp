// A test fixture for code that builds broker clients: the scratch fixture, where the secrets
// program is a script that logs each call and finds nothing and the fake broker serves both the
// trading and the market-data overrides. The default book is selected and has a key pair.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_broker.hpp"
#include "scratch.hpp"
#include "vavev_aziz/alpaca.hpp"

namespace tovra::testing {

class BrokerSandbox : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
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

  FakeBroker broker;
};

}  // namespace tovra::testing
