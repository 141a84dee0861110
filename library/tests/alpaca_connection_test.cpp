// The broker connection: error texts, book names, endpoints, the credential lookup in the
// environment and the secrets program, and the account pin.
#include <filesystem>

#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "vavev_aziz/alpaca.hpp"

namespace vavev_aziz::alpaca {
namespace {

using tovra::testing::BrokerSandbox;
using tovra::testing::Reply;

TEST(AlpacaError, DisplayTexts) {
  EXPECT_EQ(AlpacaError::no_credentials().display(),
            "no Alpaca credentials — set ALPACA_API_KEY and ALPACA_SECRET_KEY, or store them in "
            "the vault");
  EXPECT_EQ(AlpacaError::no_account().display(),
            "ALPACA_ACCOUNT is not set — name the book this process means to touch (e.g. "
            "`hackathon`, or `default` for the unsuffixed key pair). An absent selector does not "
            "fall through to the default account: that path trades the wrong book successfully "
            "and silently.");
  EXPECT_EQ(AlpacaError::http(403, "forbidden").display(), "alpaca 403: forbidden");
  EXPECT_EQ(AlpacaError::http(0, "x").display(), "alpaca 0: x");
  EXPECT_EQ(AlpacaError::transport("timed out").display(), "alpaca transport: timed out");
  EXPECT_EQ(AlpacaError::decode("bad").display(),
            "alpaca response was not the shape we expected: bad");
  EXPECT_EQ(AlpacaError::refused("no").display(), "refused before the wire: no");
}

TEST(AlpacaError, DefinitiveRefusals) {
  EXPECT_TRUE(AlpacaError::refused("x").is_definitive_refusal());
  for (std::uint16_t s : {400, 404, 422, 499})
    EXPECT_TRUE(AlpacaError::http(s, "").is_definitive_refusal()) << s;
  for (std::uint16_t s : {0, 399, 500, 503})
    EXPECT_FALSE(AlpacaError::http(s, "").is_definitive_refusal()) << s;
  for (const auto& e : {AlpacaError::transport("x"), AlpacaError::decode("x"),
                        AlpacaError::no_credentials(), AlpacaError::no_account()})
    EXPECT_FALSE(e.is_definitive_refusal()) << e.display();
}

TEST(BookNames, SuffixUpperCasesAllOfUnicode) {
  const std::pair<const char*, const char*> cases[] = {
      {"hackathon", "HACKATHON"},
      {"my-book", "MY_BOOK"},
      {"Default", "DEFAULT"},
      {" default", " DEFAULT"},
      {"a.b_c-9", "A.B_C_9"},
      {"straße", "STRASSE"},
      {"ǆ-ﬁ", "Ǆ_FI"},
      {"книга", "КНИГА"},
      {"\u0149", "\u02BCN"},
      {"\u0390", "\u0399\u0308\u0301"},
      {"𐐨", "𐐀"},
      {"µ", "Μ"},
  };
  for (const auto& [book, suffix] : cases)
    EXPECT_EQ(book_suffix(book), suffix) << book;
}

class Endpoints : public BrokerSandbox {};

TEST_F(Endpoints, LiveOnlyWhenTheKeyAndTheSettingBothAllowIt) {
  env.unset("ALPACA_BASE_URL");
  struct Case {
    const char* key;
    std::optional<std::string> paper_trade;
    std::string_view expected;
  };
  const Case cases[] = {
      {"AKX", std::nullopt, kPaperEndpoint},
      {"AKX", "0", kLiveEndpoint},
      {"AKX", "FALSE", kLiveEndpoint},
      {"AKX", "false", kLiveEndpoint},
      {"AKX", "False", kPaperEndpoint},
      {"AKX", " false", kPaperEndpoint},
      {"AKX", "no", kPaperEndpoint},
      {"PKX", "false", kPaperEndpoint},
      {"P", "0", kLiveEndpoint},
      {"", "0", kLiveEndpoint},
      {"pkx", "0", kLiveEndpoint},
  };
  for (const auto& c : cases)
    EXPECT_EQ(base_for(c.key, c.paper_trade), c.expected)
        << c.key << " " << c.paper_trade.value_or("(unset)");
}

TEST_F(Endpoints, OverridesOnlyForLoopbackAddresses) {
  const std::pair<const char*, std::string> cases[] = {
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"  http://127.0.0.1:8080\n", "http://127.0.0.1:8080"},
      {"http://localhost:9/base", "http://localhost:9/base"},
      {"http://127.0.0.1:", "http://127.0.0.1:"},
      {"http://127.0.0.1", std::string(kPaperEndpoint)},
      {"https://127.0.0.1:8080", std::string(kPaperEndpoint)},
      {"http://example.com:80", std::string(kPaperEndpoint)},
      {"HTTP://127.0.0.1:80", std::string(kPaperEndpoint)},
      // The prefix alone would let user-info send the keys to another host.
      {"http://127.0.0.1:80@example.com/", std::string(kPaperEndpoint)},
      {"http://localhost:1@example.com", std::string(kPaperEndpoint)},
  };
  for (const auto& [value, expected] : cases) {
    env.set("ALPACA_BASE_URL", value);
    EXPECT_EQ(base_for("AKX", std::nullopt), expected) << value;
    env.set("ALPACA_DATA_URL", value);
    const std::string data_expected =
        expected == kPaperEndpoint ? std::string(kDataEndpoint) : expected;
    EXPECT_EQ(data_base(), data_expected) << value;
  }
  env.set("ALPACA_BASE_URL", "http://127.0.0.1:8080");
  EXPECT_EQ(base_for("AKX", "0"), "http://127.0.0.1:8080");  // the override wins over live
  // Local prices only beside a local broker: never for orders that go to the real one.
  env.set("ALPACA_DATA_URL", "http://127.0.0.1:8080");
  for (const char* real : {"https://example.com", ""}) {
    env.set("ALPACA_BASE_URL", real);
    EXPECT_EQ(data_base(), kDataEndpoint) << real;
  }
  env.unset("ALPACA_BASE_URL");
  EXPECT_EQ(data_base(), kDataEndpoint);
}

class Credentials : public BrokerSandbox {};

TEST_F(Credentials, AccountSelectorIsRequired) {
  for (std::optional<std::string> value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("bo\xffok")}) {
    if (value)
      env.set("ALPACA_ACCOUNT", *value);
    else
      env.unset("ALPACA_ACCOUNT");
    auto c = Client::from_environment();
    ASSERT_FALSE(c);
    EXPECT_TRUE(c.error().is_no_account());
  }
  EXPECT_TRUE(secrets_calls().empty());
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(Credentials, DefaultBookFromTheEnvironment) {
  env.set("ALPACA_API_KEY", "  AKTRIM \t");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->key_id(), "AKTRIM");
  EXPECT_EQ(c->secret_key(), "test-secret");
  EXPECT_EQ(c->base_url(), broker.url());
  EXPECT_TRUE(secrets_calls().empty());
  EXPECT_TRUE(broker.requests().empty());  // no pin, no request
}

TEST_F(Credentials, DefaultBookFallsBackToTheOlderSecretNameAfterTheVault) {
  env.unset("ALPACA_SECRET_KEY");
  env.set("ALPACA_API_SECRET", "older-secret");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->secret_key(), "older-secret");
  EXPECT_EQ(secrets_calls(), (std::vector<std::string>{"get ALPACA_SECRET_KEY -p tovra-trade",
                                                       "get ALPACA_SECRET_KEY"}));
}

TEST_F(Credentials, NothingAnywhereAsksTheVaultTwicePerName) {
  env.unset("ALPACA_API_KEY");
  auto c = Client::from_environment();
  ASSERT_FALSE(c);
  EXPECT_TRUE(c.error().is_no_credentials());
  EXPECT_EQ(secrets_calls(),
            (std::vector<std::string>{"get ALPACA_API_KEY -p tovra-trade", "get ALPACA_API_KEY"}));

  env.set("ALPACA_API_KEY", "AK");
  env.unset("ALPACA_SECRET_KEY");
  ::unlink((scratch.path() / "secrets.log").c_str());
  EXPECT_TRUE(Client::from_environment().error().is_no_credentials());
  EXPECT_EQ(secrets_calls().size(), 4u);
  EXPECT_EQ(secrets_calls()[3], "get ALPACA_API_SECRET");
}

TEST_F(Credentials, TheVaultIsAskedOncePerNameWhateverItGave) {
  env.unset("ALPACA_SECRET_KEY");
  secrets(R"([ "$2" = ALPACA_API_SECRET ] && [ "$3" = -p ] && echo vault-secret)");
  for (int build = 0; build < 3; ++build) {
    auto c = Client::from_environment();
    ASSERT_TRUE(c) << c.error().display();
    EXPECT_EQ(c->secret_key(), "vault-secret");
  }
  EXPECT_EQ(secrets_calls(), (std::vector<std::string>{"get ALPACA_SECRET_KEY -p tovra-trade",
                                                       "get ALPACA_SECRET_KEY",
                                                       "get ALPACA_API_SECRET -p tovra-trade"}));
}

TEST_F(Credentials, SuffixedBookUsesItsOwnNamesOnly) {
  env.set("ALPACA_ACCOUNT", "hackathon");
  env.set("ALPACA_API_SECRET", "must-not-be-used");
  env.set("HACKATHON_PAPER_KEY", "AKHACK");
  EXPECT_TRUE(Client::from_environment().error().is_no_credentials());
  EXPECT_EQ(secrets_calls().back(), "get HACKATHON_PAPER_SECRET");

  env.set("HACKATHON_PAPER_SECRET", "hack-secret");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->key_id(), "AKHACK");
  EXPECT_EQ(c->secret_key(), "hack-secret");
}

TEST_F(Credentials, BookNamesAreNotTrimmed) {
  env.set("ALPACA_ACCOUNT", " default");
  EXPECT_TRUE(Client::from_environment().error().is_no_credentials());
  EXPECT_EQ(secrets_calls().front(), "get  DEFAULT_PAPER_KEY -p tovra-trade");
}

TEST_F(Credentials, BlankVariablesAskTheVault) {
  env.set("ALPACA_API_KEY", " \t ");
  secrets(
      "[ \"$2\" = ALPACA_API_KEY ] && [ \"$3\" = -p ] && printf 'AKVAULT\\n' && exit 0\nexit 1");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->key_id(), "AKVAULT");
}

TEST_F(Credentials, WhatTheSecretsProgramYields) {
  struct Case {
    const char* body;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"printf 'value\\n'", "value"},
      {"printf '  two words \\r\\n'", "two words"},
      {"printf ' \\n\\n\\t'", std::nullopt},
      {"printf 'value'; exit 1", std::nullopt},
      {"printf 'value' >&2", std::nullopt},
      {"printf 'value'; kill -9 $$", std::nullopt},
      {"printf 'va\\377lue'", "va\xEF\xBF\xBDlue"},
  };
  for (const auto& c : cases) {
    const auto script = scratch.script("bin/s", c.body);
    EXPECT_EQ(read_nonempty({script.string(), {"get", "X"}}), c.expected) << c.body;
  }
  EXPECT_EQ(read_nonempty({(scratch.path() / "missing").string(), {}}), std::nullopt);
}

TEST_F(Credentials, SecretsProgramThatNeverEndsIsEnded) {
  const auto script = scratch.script("bin/hang", "printf 'late'\nexec sleep 600");
  EXPECT_EQ(read_nonempty({script.string(), {"get", "X"}, std::chrono::milliseconds(200)}),
            std::nullopt);
}

TEST_F(Credentials, WhichSecretsProgram) {
  const auto local = scratch.path() / ".local" / "bin" / "secrets";
  env.set("SECRETS_BIN", "  ");
  EXPECT_EQ(secrets_bin(), "secrets");
  scratch.write(".local/bin/real", "");
  std::filesystem::create_symlink(scratch.path() / ".local" / "bin" / "real", local);
  EXPECT_EQ(secrets_bin(), local.string());  // a link to a file counts; not executable: fine
  env.set("SECRETS_BIN", " /x/y");
  EXPECT_EQ(secrets_bin(), " /x/y");
  env.unset("SECRETS_BIN");
  EXPECT_EQ(secrets_bin(), local.string());
  std::filesystem::remove(local);
  std::filesystem::create_directory(local);
  EXPECT_EQ(secrets_bin(), "secrets");
}

TEST_F(Credentials, SecretsOnThePathAndAProgramThatCannotStart) {
  env.unset("SECRETS_BIN");
  env.unset("ALPACA_API_KEY");
  scratch.script("bin/secrets", "[ \"$2\" = ALPACA_API_KEY ] && [ $# = 2 ] && echo AKPATH");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->key_id(), "AKPATH");

  env.set("SECRETS_BIN", std::string(" ").append((scratch.path() / "bin" / "secrets").string()));
  forget_vault_answers();
  EXPECT_TRUE(Client::from_environment().error().is_no_credentials());
}

TEST_F(Credentials, AccountPin) {
  env.set("ALPACA_EXPECT_ACCOUNT", "  pa3kx8zq2n1v ");
  auto c = Client::from_environment();
  ASSERT_TRUE(c) << c.error().display();
  ASSERT_EQ(broker.requests().size(), 1u);
  EXPECT_EQ(broker.requests()[0].target, "/v2/account");

  env.set("ALPACA_EXPECT_ACCOUNT", " PA999 ");
  auto wrong = Client::from_environment();
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().display(),
            "alpaca 0: these keys reach account PA3KX8ZQ2N1V, not PA999 — refusing to trade an "
            "account that was not asked for");
  EXPECT_FALSE(wrong.error().is_definitive_refusal());

  broker.set_account({{"status", "ACTIVE"}});
  EXPECT_EQ(Client::from_environment().error().display(),
            "alpaca 0: these keys reach account , not PA999 — refusing to trade an account that "
            "was not asked for");

  broker.reply("GET", "/v2/account", Reply{401, R"({"message":"unauthorized."})"});
  EXPECT_EQ(Client::from_environment().error().display(),
            R"(alpaca 401: {"message":"unauthorized."})");

  env.set("ALPACA_EXPECT_ACCOUNT", " ");
  EXPECT_TRUE(Client::from_environment());
}

}  // namespace
}  // namespace vavev_aziz::alpaca
