// The broker client's HTTP layer against the fake broker: headers, compressed and oversized
// answers, error bodies, redirects followed and not, refused connections and TLS trust.
#include <gtest/gtest.h>

#include "broker_sandbox.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace vavev_aziz::alpaca {
namespace {

using tovra::testing::BrokerSandbox;
using tovra::testing::FakeBroker;
using tovra::testing::Reply;

constexpr std::size_t kLimit = 10'485'760;

class Http : public BrokerSandbox {
 protected:
  Result<http::Answer, std::string> send_to(const std::string& url, http::Settings settings = {}) {
    return http::send({http::Method::Get, url, "AKTESTKEY", "test-secret", std::nullopt}, settings);
  }
};

TEST_F(Http, GetCarriesTheCredentialsAndAcceptsGzip) {
  auto body = client().get("/v2/clock");
  ASSERT_TRUE(body) << body.error().display();
  const auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/v2/clock");
  EXPECT_EQ(requests[0].header("APCA-API-KEY-ID"), "AKTESTKEY");
  EXPECT_EQ(requests[0].header("APCA-API-SECRET-KEY"), "test-secret");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "gzip");
  EXPECT_FALSE(requests[0].has_header("Content-Type"));
  EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(Http, ProxySettingsAreIgnored) {
  FakeBroker proxy;
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    env.set(name, proxy.url());
  env.unset("no_proxy");
  env.unset("NO_PROXY");
  ASSERT_TRUE(client().clock());
  EXPECT_TRUE(proxy.requests().empty());
  EXPECT_EQ(broker.requests().size(), 1u);
}

TEST_F(Http, GzipAnswerIsDecoded) {
  Reply gz(200, R"({"is_open":false,"timestamp":"t","next_open":"o","next_close":"c"})");
  gz.gzip = true;
  broker.reply("GET", "/v2/clock", gz);
  auto clock = client().clock();
  ASSERT_TRUE(clock) << clock.error().display();
  EXPECT_EQ(clock->next_open, "o");
}

TEST_F(Http, AnswersBeyondTheSizeLimit) {
  // Boundary on a small limit; the real limit below.
  broker.reply("GET", "/small", Reply(200, std::string(1000, 'x')));
  http::Settings small;
  small.max_body = 1000;
  auto at_limit = send_to(broker.url() + "/small", small);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->body.size(), 1000u);
  small.max_body = 999;
  auto over = send_to(broker.url() + "/small", small);
  ASSERT_TRUE(over);
  EXPECT_EQ(over->body_error, "the answer is larger than 999 bytes");

  std::string huge = R"({"status":"ACTIVE","pad":")";
  huge += std::string(kLimit + 1 - huge.size() - 2, 'x') + "\"}";
  ASSERT_EQ(huge.size(), kLimit + 1);
  broker.reply("GET", "/v2/account", Reply(200, huge));
  auto account = client().account();
  ASSERT_FALSE(account);
  ASSERT_TRUE(account.error().as_transport()) << account.error().display();
  EXPECT_EQ(account.error().display(),
            "alpaca transport: the answer is larger than 10485760 bytes");

  broker.reply("GET", "/v2/account", Reply(503, huge));
  auto failed = client().account();
  ASSERT_TRUE(failed.error().as_http());
  EXPECT_EQ(failed.error().display(), "alpaca 503: ");
}

TEST_F(Http, ErrorBodiesAreCutByCharacters) {
  broker.reply("GET", "/v2/account", Reply(403, std::string(1000, 'a')));
  auto cut = client().account();
  ASSERT_TRUE(cut.error().as_http());
  EXPECT_EQ(cut.error().as_http()->status, 403);
  EXPECT_EQ(cut.error().as_http()->body, std::string(400, 'a'));

  std::string accents;
  for (int i = 0; i < 1000; ++i)
    accents += "é";
  broker.reply("GET", "/v2/account", Reply(422, accents));
  EXPECT_EQ(client().account().error().as_http()->body, accents.substr(0, 800));

  broker.reply("GET", "/v2/account", Reply(500, "bad \xff bytes"));
  EXPECT_EQ(client().account().error().display(), "alpaca 500: ");
  broker.reply("GET", "/v2/account", Reply(200, "{\"status\":\"\xff\"}"));
  EXPECT_TRUE(client().account().error().as_transport());
}

TEST_F(Http, RedirectsStayOnTheSameOrigin) {
  FakeBroker elsewhere;
  const std::string other_port = std::to_string(elsewhere.port());
  for (const std::string& location :
       {"http://localhost:" + other_port + "/v2/account",
        "http://127.0.0.1:" + other_port + "/v2/account",
        "https://127.0.0.1:" + std::to_string(broker.port()) + "/v2/account"}) {
    Reply redirect(302, "");
    redirect.headers = {{"Location", location}};
    broker.reply("GET", "/v2/account", redirect);
    auto a = client().account();
    ASSERT_FALSE(a);
    ASSERT_TRUE(a.error().as_transport()) << a.error().display();
    EXPECT_NE(a.error().display().find("refusing to follow a redirect to " + location),
              std::string::npos)
        << a.error().display();
  }
  EXPECT_TRUE(elsewhere.requests().empty());

  Reply moved(301, "");
  moved.headers = {{"Location", "/v2/clock"}};
  broker.reply("GET", "/v2/old-clock", moved);
  auto body = client().get("/v2/old-clock");
  ASSERT_TRUE(body) << body.error().display();
  const auto requests = broker.requests();
  EXPECT_EQ(requests.back().target, "/v2/clock");
  EXPECT_EQ(requests.back().header("APCA-API-SECRET-KEY"), "test-secret");
}

TEST_F(Http, RedirectLoopsEndAfterFive) {
  Reply loop(307, "");
  loop.headers = {{"Location", "/loop"}};
  broker.reply("GET", "/loop", loop);
  auto r = send_to(broker.url() + "/loop");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "too many redirects (more than 5)");
  EXPECT_EQ(broker.requests().size(), 6u);
}

TEST_F(Http, RedirectsThatAreNotFollowed) {
  // A POST places an order: whatever the redirect, it is sent once and its fate stays unknown.
  Reply temporary(307, "");
  temporary.headers = {{"Location", "/v2/orders"}};
  broker.reply("POST", "/v2/orders", temporary);
  auto post = http::send({http::Method::Post, broker.url() + "/v2/orders", "K", "S", "{\"a\":1}"});
  EXPECT_EQ(post.error(),
            "the broker answered the order with a redirect (307), which is not followed: it may "
            "hold the order, so it is neither sent again nor looked for elsewhere");
  ASSERT_EQ(broker.requests().size(), 1u);
  EXPECT_EQ(broker.requests()[0].header("Content-Type"), "application/json");
  EXPECT_EQ(broker.requests()[0].body, "{\"a\":1}");

  // A GET's redirect needs an address; without one the answer is no success either.
  for (const auto& [status, location] : std::vector<std::pair<int, std::string>>{
           {302, ""}, {307, ""}, {308, ""}, {300, "/v2/clock"}, {304, ""}}) {
    SCOPED_TRACE(status);
    Reply redirect(status, "{}");
    if (!location.empty()) redirect.headers = {{"Location", location}};
    broker.reply("GET", "/v2/account", redirect);
    auto a = client().account();
    ASSERT_FALSE(a);
    EXPECT_EQ(a.error().display(), "alpaca transport: the broker answered " +
                                       std::to_string(status) + " with no address to follow");
  }
}

TEST_F(Http, RequestsThatNeverLeave) {
  // Each is refused before any connection is made.
  EXPECT_EQ(send_to("http://0.0.0.0:" + std::to_string(broker.port()) + "/v2/account").error(),
            "refusing to send the credentials to http://0.0.0.0: only https, or plain http to "
            "this machine");
  EXPECT_FALSE(send_to("not an address"));
  EXPECT_FALSE(send_to(broker.url() + "/v2/stocks/A\r\nX-Evil: 1/trades/latest"));
  EXPECT_FALSE(send_to(broker.url() + std::string("/v2/stocks/SPY\0/x", 17)));
  auto broken = http::send(
      {http::Method::Get, broker.url() + "/v2/account", "AK\r\nX-Evil: 1", "S", std::nullopt});
  EXPECT_EQ(broken.error(), "the credentials hold a line break; they were not sent");
  EXPECT_TRUE(broker.requests().empty());
}

TEST_F(Http, AnswerTooSlowForTheTimeLimit) {
  Reply slow(200, "{}");
  slow.delay = std::chrono::milliseconds(1000);
  broker.reply("GET", "/slow", slow);
  http::Settings hurried;
  hurried.time_limit = std::chrono::milliseconds(100);
  auto r = send_to(broker.url() + "/slow", hurried);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("Timeout"), std::string::npos) << r.error();
}

TEST_F(Http, RefusedConnectionIsATransportError) {
  auto c = client();
  broker.stop();
  auto a = c.account();
  ASSERT_FALSE(a);
  EXPECT_TRUE(a.error().as_transport()) << a.error().display();
}

TEST_F(Http, TrustsOnlyTheCompiledInRoots) {
  // Two servers: one self-signed, one whose certificate a test root signed through an
  // intermediate that the server sends along.
  auto made = platform::run("sh", {"-c", "set -e; cd '" + scratch.path().string() + R"('
    k="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
    openssl req -x509 $k -keyout self.key -out self.pem -subj /CN=127.0.0.1 \
      -addext subjectAltName=IP:127.0.0.1 -days 2
    openssl req -x509 $k -keyout root.key -out root.pem -subj "/CN=Test Root" -days 2
    openssl req $k -keyout mid.key -out mid.csr -subj "/CN=Test Intermediate"
    printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n' > ca.ext
    openssl x509 -req -in mid.csr -CA root.pem -CAkey root.key -CAcreateserial -extfile ca.ext \
      -out mid.pem -days 2
    openssl req $k -keyout leaf.key -out leaf.csr -subj /CN=127.0.0.1
    echo subjectAltName=IP:127.0.0.1 > leaf.ext
    openssl x509 -req -in leaf.csr -CA mid.pem -CAkey mid.key -CAcreateserial -extfile leaf.ext \
      -out leaf.pem -days 2
    cat leaf.pem mid.pem > chain.pem)"});
  ASSERT_TRUE(made.exited_with(0)) << made.out;
  const auto file = [&](const char* name) { return (scratch.path() / name).string(); };
  FakeBroker self_signed(tovra::testing::Tls{file("self.pem"), file("self.key")});
  FakeBroker chained(tovra::testing::Tls{file("chain.pem"), file("leaf.key")});
  const std::vector<std::string> urls = {self_signed.url() + "/v2/clock",
                                         chained.url() + "/v2/clock"};

  for (const auto& url : urls) {
    auto untrusted = send_to(url);
    ASSERT_FALSE(untrusted);
    EXPECT_NE(untrusted.error().find("certificate"), std::string::npos) << untrusted.error();
    // The compiled-in set itself loaded: the refusal is about this server, not the roots.
    EXPECT_EQ(untrusted.error().find("CA cert"), std::string::npos) << untrusted.error();
  }
  EXPECT_TRUE(self_signed.requests().empty());
  EXPECT_TRUE(chained.requests().empty());

  // Both servers pass once their roots are the trusted set: the failures above were the trust
  // decision, not broken servers.
  auto self_pem = platform::read_file(file("self.pem"));
  auto root_pem = platform::read_file(file("root.pem"));
  ASSERT_TRUE(self_pem && root_pem);
  http::Settings trusting;
  const std::string both = *self_pem + *root_pem;
  trusting.trusted_roots_pem = both;
  for (const auto& url : urls) {
    auto trusted = send_to(url, trusting);
    ASSERT_TRUE(trusted) << trusted.error();
    EXPECT_EQ(trusted->status, 200);
  }
  // The compiled-in set is read once and shared: trusting another set for one request left it
  // as it was.
  EXPECT_FALSE(send_to(urls[0]));
  EXPECT_EQ(self_signed.requests().size(), 1u);
  EXPECT_EQ(chained.requests().size(), 1u);
}

}  // namespace
}  // namespace vavev_aziz::alpaca
