#include "fake_broker.hpp"

#include <zlib.h>

#include <map>
#include <mutex>
#include <thread>

#include <httplib.h>

namespace tovra::testing {
namespace {

bool same_letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// "%2F" back to "/" in a symbol taken from a path.
std::string decode_slashes(std::string s) {
  for (std::size_t at; (at = s.find("%2F")) != std::string::npos;)
    s.replace(at, 3, 1, '/');
  return s;
}

Json not_found() {
  return Json{{"code", 40410000}, {"message", "not found"}};
}

}  // namespace

std::string Recorded::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (same_letters(key, name)) return value;
  return {};
}

bool Recorded::has_header(std::string_view name) const {
  for (const auto& h : headers)
    if (same_letters(h.first, name)) return true;
  return false;
}

struct FakeBroker::State {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  int port = 0;
  bool tls = false;

  mutable std::mutex mutex;
  std::vector<Recorded> requests;
  std::map<std::pair<std::string, std::string>, Reply> replies;
  Json account = default_account();
  Json positions = Json::array();
  std::map<std::string, double> trades;
  std::map<std::string, std::pair<double, double>> quotes;
  std::vector<Json> orders;  // as the broker lists them back

  Reply answer(const httplib::Request& req);
  Reply market(const std::string& path, const httplib::Request& req);
  Reply place(const std::string& body);
};

namespace {

Reply json_reply(const Json& body, int status = 200) {
  return Reply(status, body.dump());
}

}  // namespace

Reply FakeBroker::State::answer(const httplib::Request& req) {
  const std::string raw_path = req.target.substr(0, req.target.find('?'));
  if (auto it = replies.find({req.method, req.path}); it != replies.end()) return it->second;
  if (req.method == "GET" && req.path == "/v2/account") return json_reply(account);
  if (req.method == "GET" && req.path == "/v2/positions") return json_reply(positions);
  if (req.method == "GET" && req.path == "/v2/clock")
    return json_reply(Json{{"timestamp", "2025-01-17T10:30:00.000000-05:00"},
                           {"is_open", true},
                           {"next_open", "2025-01-21T09:30:00-05:00"},
                           {"next_close", "2025-01-17T16:00:00-05:00"}});
  if (req.method == "GET" && req.path == "/v2/orders") {
    Json list = Json::array();
    for (auto it = orders.rbegin(); it != orders.rend(); ++it)
      list.push_back(*it);
    return json_reply(list);
  }
  if (req.method == "POST" && req.path == "/v2/orders") return place(req.body);
  if (req.method == "GET") return market(raw_path, req);
  return json_reply(not_found(), 404);
}

Reply FakeBroker::State::market(const std::string& raw_path, const httplib::Request& req) {
  const std::string symbols = req.get_param_value("symbols");
  auto trade_of = [this](const std::string& symbol) -> std::optional<Json> {
    auto it = trades.find(symbol);
    if (it == trades.end()) return std::nullopt;
    return Json{{"t", "2025-01-17T15:29:58.123Z"}, {"x", "V"}, {"p", it->second}, {"s", 100}};
  };
  const std::string stocks = "/v2/stocks/", latest = "/trades/latest";
  if (raw_path.starts_with(stocks) && raw_path.ends_with(latest) &&
      raw_path.size() > stocks.size() + latest.size()) {
    const std::string symbol = decode_slashes(
        raw_path.substr(stocks.size(), raw_path.size() - stocks.size() - latest.size()));
    auto trade = trade_of(symbol);
    if (!trade) return json_reply(not_found(), 404);
    return json_reply(Json{{"symbol", symbol}, {"trade", *trade}});
  }
  if (raw_path == "/v1beta1/options/snapshots") {
    Json snapshots = Json::object();
    Json one = Json::object();
    if (auto q = quotes.find(symbols); q != quotes.end())
      one["latestQuote"] = Json{{"ap", q->second.second},
                                {"as", 5},
                                {"bp", q->second.first},
                                {"bs", 3},
                                {"t", "2025-01-17T15:29:59.5Z"}};
    if (auto trade = trade_of(symbols)) one["latestTrade"] = *trade;
    if (!one.empty()) snapshots[symbols] = one;
    return json_reply(Json{{"snapshots", snapshots}});
  }
  if (raw_path == "/v1beta1/options/trades/latest" ||
      raw_path == "/v1beta3/crypto/us/latest/trades") {
    Json keyed = Json::object();
    if (auto trade = trade_of(symbols)) keyed[symbols] = *trade;
    return json_reply(Json{{"trades", keyed}});
  }
  return json_reply(not_found(), 404);
}

Reply FakeBroker::State::place(const std::string& body) {
  Json order = Json::parse(body, nullptr, false);
  if (!order.is_object() || !order.contains("client_order_id"))
    return json_reply(Json{{"code", 40010001}, {"message", "invalid order request"}}, 422);
  Json placed = Json::object();
  placed["id"] = "61e69015-8549-4bfd-b9c3-01e75843f47d-" + std::to_string(orders.size() + 1);
  placed["client_order_id"] = order["client_order_id"];
  placed["created_at"] = "2025-01-17T15:30:00.000000Z";
  for (const char* key : {"symbol", "qty", "notional", "side", "type", "time_in_force",
                          "limit_price", "order_class", "legs"})
    placed[key] = order.contains(key) ? order[key] : Json(nullptr);
  placed["filled_qty"] = "0";
  placed["filled_avg_price"] = nullptr;
  placed["status"] = "accepted";
  orders.push_back(placed);
  return json_reply(placed);
}

namespace {

void respond(FakeBroker::State& state, const httplib::Request& req, httplib::Response& res) {
  Reply reply;
  {
    std::lock_guard lock(state.mutex);
    Recorded r{req.method, req.target, req.path, {}, req.body};
    for (const auto& h : req.headers)
      r.headers.emplace_back(h.first, h.second);
    state.requests.push_back(std::move(r));
    reply = state.answer(req);
  }
  std::this_thread::sleep_for(reply.delay);
  res.status = reply.status;
  for (const auto& [k, v] : reply.headers)
    res.set_header(k, v);
  if (reply.gzip) {
    // A type httplib does not compress again on its own.
    res.set_header("Content-Encoding", "gzip");
    res.set_content(gzip(reply.body), "application/octet-stream");
  } else {
    res.set_content(reply.body, reply.content_type);
  }
}

}  // namespace

void FakeBroker::serve(std::unique_ptr<httplib::Server> server) {
  state_->server = std::move(server);
  auto handler = [state = state_.get()](const httplib::Request& req, httplib::Response& res) {
    respond(*state, req, res);
  };
  // Route handlers, not a pre-routing one: only they see the request body.
  state_->server->Get(".*", handler).Post(".*", handler).Put(".*", handler);
  state_->server->Delete(".*", handler).Patch(".*", handler);
  state_->port = state_->server->bind_to_any_port("127.0.0.1");
  state_->thread = std::thread([server = state_->server.get()] { server->listen_after_bind(); });
  // A stop before the accept loop runs would be lost and the join would wait for ever.
  while (!state_->server->is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeBroker::FakeBroker() : state_(std::make_unique<State>()) {
  serve(std::make_unique<httplib::Server>());
}

FakeBroker::FakeBroker(const Tls& tls) : state_(std::make_unique<State>()) {
  state_->tls = true;
  serve(std::make_unique<httplib::SSLServer>(tls.certificate_file.c_str(), tls.key_file.c_str()));
}

FakeBroker::~FakeBroker() {
  stop();
}

void FakeBroker::stop() {
  if (!state_->thread.joinable()) return;
  state_->server->stop();
  state_->thread.join();
}

int FakeBroker::port() const {
  return state_->port;
}

std::string FakeBroker::url() const {
  return (state_->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(state_->port);
}

void FakeBroker::reply(const std::string& method, const std::string& path, Reply reply) {
  std::lock_guard lock(state_->mutex);
  state_->replies[{method, path}] = std::move(reply);
}

void FakeBroker::set_account(Json account) {
  std::lock_guard lock(state_->mutex);
  state_->account = std::move(account);
}

void FakeBroker::set_positions(Json positions) {
  std::lock_guard lock(state_->mutex);
  state_->positions = std::move(positions);
}

void FakeBroker::set_trade(const std::string& symbol, double price) {
  std::lock_guard lock(state_->mutex);
  state_->trades[symbol] = price;
}

void FakeBroker::set_quote(const std::string& option_symbol, double bid, double ask) {
  std::lock_guard lock(state_->mutex);
  state_->quotes[option_symbol] = {bid, ask};
}

void FakeBroker::set_order_status(const std::string& client_order_id, const std::string& status,
                                  const std::string& filled_qty,
                                  const std::string& filled_avg_price) {
  std::lock_guard lock(state_->mutex);
  for (Json& o : state_->orders) {
    if (o["client_order_id"] != client_order_id) continue;
    o["status"] = status;
    o["filled_qty"] = filled_qty;
    o["filled_avg_price"] = filled_avg_price.empty() ? Json(nullptr) : Json(filled_avg_price);
  }
}

std::vector<Recorded> FakeBroker::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::vector<Json> FakeBroker::orders() const {
  std::lock_guard lock(state_->mutex);
  std::vector<Json> bodies;
  for (const Recorded& r : state_->requests)
    if (r.method == "POST" && r.path == "/v2/orders")
      bodies.push_back(Json::parse(r.body, nullptr, false));
  return bodies;
}

Json FakeBroker::default_account() {
  return Json{{"id", "904837e3-3b76-47ec-b432-046db621571b"},
              {"account_number", "PA3KX8ZQ2N1V"},
              {"status", "ACTIVE"},
              {"crypto_status", "ACTIVE"},
              {"currency", "USD"},
              {"buying_power", "200000"},
              {"regt_buying_power", "200000"},
              {"options_buying_power", "100000"},
              {"cash", "100000"},
              {"portfolio_value", "100000"},
              {"equity", "100000"},
              {"last_equity", "99850.25"},
              {"options_approved_level", 3},
              {"options_trading_level", 3},
              {"pattern_day_trader", false},
              {"trading_blocked", false},
              {"transfers_blocked", false},
              {"account_blocked", false},
              {"created_at", "2024-06-03T14:02:11.482Z"},
              {"shorting_enabled", true},
              {"multiplier", "2"},
              {"daytrade_count", 0}};
}

}  // namespace tovra::testing
