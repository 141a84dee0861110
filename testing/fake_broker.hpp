// A fake of the broker's trading and market-data APIs for tests: an HTTP server in the test
// process, bound to 127.0.0.1 on a free port, reached through ALPACA_BASE_URL and
// ALPACA_DATA_URL. It answers like the broker (account, positions, clock, orders, latest trades,
// option snapshots), keeps the orders it is sent, records every request, and lets a test
// replace the answer of any path.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}

namespace tovra::testing {

using Json = nlohmann::ordered_json;

// One request as the fake received it.
struct Recorded {
  std::string method;
  std::string target;  // path and query exactly as sent ("/v2/stocks/BRK%2FB/trades/latest")
  std::string path;    // the path without the query, percent-decoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first value of a header (name compared without letter case); empty when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

// A canned answer.
struct Reply {
  Reply() = default;
  Reply(int status, std::string body) : status(status), body(std::move(body)) {}

  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  bool gzip = false;  // send the body gzip-compressed with "Content-Encoding: gzip"
  std::chrono::milliseconds delay{0};  // wait this long before answering
};

// Certificate and key files (PEM) for a fake that speaks HTTPS.
struct Tls {
  std::string certificate_file;
  std::string key_file;
};

class FakeBroker {
 public:
  FakeBroker();
  explicit FakeBroker(const Tls& tls);
  ~FakeBroker();
  FakeBroker(const FakeBroker&) = delete;
  FakeBroker& operator=(const FakeBroker&) = delete;

  int port() const;
  // "http://127.0.0.1:PORT" ("https://..." for a TLS fake), the value for the URL overrides.
  std::string url() const;
  // Stops listening; later connections are refused.
  void stop();

  // Every later request with this method and (decoded) path gets `reply`.
  void reply(const std::string& method, const std::string& path, Reply reply);

  // The broker's state behind the built-in answers.
  void set_account(Json account);
  void set_positions(Json positions);
  void set_trade(const std::string& symbol, double price);  // stocks, options and crypto pairs
  void set_quote(const std::string& option_symbol, double bid, double ask);
  void set_order_status(const std::string& client_order_id, const std::string& status,
                        const std::string& filled_qty, const std::string& filled_avg_price);

  std::vector<Recorded> requests() const;
  // The JSON bodies of the orders received, in order.
  std::vector<Json> orders() const;

  // A realistic account answer (ACTIVE, equity 100000, account number PA3KX8ZQ2N1V).
  static Json default_account();

  struct State;

 private:
  void serve(std::unique_ptr<httplib::Server> server);
  std::unique_ptr<State> state_;
};

}  // namespace tovra::testing
