// The broker client: the only code that talks to the Alpaca brokerage REST API.
//
// A `Client` is built from the environment (the book named by ALPACA_ACCOUNT, its key pair from
// the environment or the secrets program, the paper or live endpoint) and carries nothing but
// the key pair and the trading base address; every request opens its own connection. It reads
// the account, positions, clock and recent orders, sends approved orders, and fetches latest
// prices from the market-data API. Every failure is an `AlpacaError` value with a fixed display
// text. The leg derivations at the end are pure computations over an order and the positions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vavev_aziz/broker_status.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz::alpaca {

// The broker's three base addresses.
inline constexpr std::string_view kPaperEndpoint = "https://paper-api.alpaca.markets";
inline constexpr std::string_view kLiveEndpoint = "https://api.alpaca.markets";
inline constexpr std::string_view kDataEndpoint = "https://data.alpaca.markets";

// The broker client's one error type.
struct AlpacaError {
  struct NoCredentials {};
  struct NoAccount {};
  struct Http {
    std::uint16_t status = 0;  // 0 for the account-pin mismatch
    std::string body;
  };
  struct Transport {
    std::string message;
  };
  struct Decode {
    std::string message;
  };
  struct Refused {
    std::string message;
  };
  std::variant<NoCredentials, NoAccount, Http, Transport, Decode, Refused> value;

  static AlpacaError no_credentials() { return {NoCredentials{}}; }
  static AlpacaError no_account() { return {NoAccount{}}; }
  static AlpacaError http(std::uint16_t status, std::string body) {
    return {Http{status, std::move(body)}};
  }
  static AlpacaError transport(std::string m) { return {Transport{std::move(m)}}; }
  static AlpacaError decode(std::string m) { return {Decode{std::move(m)}}; }
  static AlpacaError refused(std::string m) { return {Refused{std::move(m)}}; }

  const Http* as_http() const { return std::get_if<Http>(&value); }
  const Transport* as_transport() const { return std::get_if<Transport>(&value); }
  const Decode* as_decode() const { return std::get_if<Decode>(&value); }
  const Refused* as_refused() const { return std::get_if<Refused>(&value); }
  bool is_no_credentials() const { return std::holds_alternative<NoCredentials>(value); }
  bool is_no_account() const { return std::holds_alternative<NoAccount>(value); }

  // The fixed text shown to the user, such as "alpaca 403: forbidden".
  std::string display() const;
  // True when the broker certainly did not create the order: `Refused`, or `Http` with a
  // status from 400 to 499.
  bool is_definitive_refusal() const;
};

// The account record of GET /v2/account. Money stays as the broker's decimal text.
struct Account {
  std::string status;
  std::string account_number;
  std::string equity;
  std::string cash;
  std::string buying_power;
  std::string options_buying_power;
  std::optional<std::uint8_t> options_trading_level;
  bool shorting_enabled = false;
  bool trading_blocked = false;
  bool account_blocked = false;
  bool pattern_day_trader = false;
  std::optional<std::uint32_t> daytrade_count;

  // The equity as a number; 0.0 when the text does not read.
  double equity_f64() const;
  // Absent when trading is possible, else the reason ("account is BLOCKED", ...).
  std::optional<std::string> can_trade() const;
};

// One open position of GET /v2/positions; the quantity is negative for a short position.
struct Position {
  std::string symbol;
  std::string asset_class;
  std::string qty;
  std::string market_value;
  std::string unrealized_pl;
  // What open orders do not already hold of `qty`, when the broker says.
  std::optional<std::string> qty_available = std::nullopt;

  // The quantity as a number; 0.0 when the text does not read.
  double qty_f64() const;
  // What an order may still close: `qty_available` when the broker sent one that reads, on the
  // side of `qty` and never beyond it; else `qty_f64`.
  double closable_f64() const;
};

// The market clock of GET /v2/clock.
struct Clock {
  bool is_open = false;
  std::string timestamp;
  std::string next_open;
  std::string next_close;
};

// Strict readers of the three record bodies: repeated keys, wrong types, null in a text or
// boolean, out-of-range integers and trailing text are refused with the reader's message
// (naming "struct Account", "struct Position" or "struct Clock" and the line and column).
Result<Account, std::string> read_account(std::string_view body);
Result<std::vector<Position>, std::string> read_positions(std::string_view body);
Result<Clock, std::string> read_clock(std::string_view body);

// The broker's acknowledgement of a new order.
struct Placed {
  std::string id;               // the broker's order id; empty when the reply has none
  std::string client_order_id;  // the reply's, else the order's own
  std::string status;           // the broker's status word; "unknown" when the reply has none
};

// The JSON body of a new order: the multi-leg form for an option order with two or more legs,
// the single-leg form otherwise. Money and quantities are number texts. Never fails.
json::Json order_payload(const Order& order);

// --- What the broker receives ---

// The order as the broker will receive it: the one answer that the order body, the leg
// derivations, the order builder's sizing and the live market's repricing all read.
struct Wire {
  enum class Form {
    Single,    // one instrument: `symbol` on `side`
    MultiLeg,  // an option ticket of two or more legs, with no symbol or side of its own
    None,      // an equity or crypto order with several legs: it cannot be sent
  };
  Form form = Form::Single;
  std::string symbol;     // a single instrument's: the order's own
  Side side = Side::Buy;  // a single instrument's: the order's own
  // The quantity sent. A single instrument: the first leg's when above 0, else 0, and the
  // ticket is sized by the order's notional. A multi-leg ticket: the first leg's, the
  // structure's.
  double qty = 0;
  // What the broker trades of each of the order's legs, in order: a ticket's quantity times the
  // leg's ratio, else the leg's own quantity.
  std::vector<double> leg_units;
};

Wire wire_form(const Order& order);

// How much of the order's description the wire must bear out. `Class`: only what no
// description excuses, a symbol that is an option contract is an option. `Full`: also that the
// symbol sent reads as the order's class (a contract for an option, a pair for crypto, neither
// a "/" nor a pair for a stock) and that every leg of a multi-leg ticket is a contract on the
// order's underlying.
enum class Agreement { Class, Full };

// Why the broker would trade something other than the order as judged; none when the wire
// bears the order out.
std::optional<std::string> wire_disagrees(const Order& order, Agreement agreement);

// A crypto pair: a "/" with text on both sides, or a symbol the pair rule splits ("BTCUSD").
bool is_crypto_pair(std::string_view symbol);

// The underlying of a symbol: an option contract's root, else the symbol in capitals.
std::string underlying_of(std::string_view symbol);

// The connection to the broker: the key pair and the trading base address.
class Client {
 public:
  // Builds the client for the book named by ALPACA_ACCOUNT: credentials from the environment or
  // the secrets program, the base address from `base_for`, then the account pin. The first
  // failure is returned (NoAccount, the credential lookups' errors, the pin's error).
  static Result<Client, AlpacaError> from_environment();

  const std::string& key_id() const { return key_id_; }
  const std::string& secret_key() const { return secret_key_; }
  const std::string& base_url() const { return base_url_; }

  // With ALPACA_EXPECT_ACCOUNT set, reads the account and fails unless its number matches
  // (trimmed, ASCII case ignored): `Http` with status 0 on a mismatch. Otherwise no request.
  Result<void, AlpacaError> verify_account() const;

  // GET of `base_url` + `path` with the credential headers; the body text, `Transport` when no
  // answer came or the body did not read, `Http` with the first 400 characters of the body for
  // a status of 400 or above.
  Result<std::string, AlpacaError> get(std::string_view path) const;

  Result<Account, AlpacaError> account() const;
  Result<std::vector<Position>, AlpacaError> positions() const;
  Result<Clock, AlpacaError> clock() const;

  // Sends one approved order. Refused before any request when the order has several legs but
  // is not an option order, or when `approved_client_order_id` is not the order's own id.
  Result<Placed, AlpacaError> place_order(const Order& order,
                                          const std::string& approved_client_order_id) const;

  // The statuses of the broker's recent orders whose client order id is among `ids`, in the
  // broker's order. `Decode` when the answer is not a JSON array.
  Result<std::vector<BrokerStatus>, AlpacaError> orders_by_client_ids(
      const std::vector<std::string>& ids) const;

  // The latest price of a stock, option or crypto pair from the market-data API. An option is
  // priced at its snapshot's mid; when that fails a NOTE line goes to `err` and the option is
  // priced off its latest trade.
  Result<double, AlpacaError> last_price(std::string_view symbol, AssetClass asset_class,
                                         std::ostream& err) const;

 private:
  Client(std::string key_id, std::string secret_key, std::string base_url)
      : key_id_(std::move(key_id)),
        secret_key_(std::move(secret_key)),
        base_url_(std::move(base_url)) {}

  std::string key_id_;
  std::string secret_key_;
  std::string base_url_;
};

// --- Credentials and endpoints ---

// How long the secrets program may run before it is ended and the lookup counts as failed.
inline constexpr std::chrono::milliseconds kSecretsLimit{30'000};

// A prepared run of the secrets program.
struct Command {
  std::string program;
  std::vector<std::string> args;
  std::chrono::milliseconds limit = kSecretsLimit;
};

// The credential named `name`: the environment variable when set and not blank (trimmed), else
// the secrets program's answer to "get NAME -p tovra-trade", then to "get NAME";
// `NoCredentials` when none of them yields text. The secrets program is asked about a name at
// most once per process: its answer, found or not, is kept for every later lookup.
Result<std::string, AlpacaError> env_or_vault(const std::string& name);

// Forgets the secrets program's kept answers, so the next lookup of each name asks it again
// (for tests that change the program within one process).
void forget_vault_answers();

// The secrets program: SECRETS_BIN when not blank (unchanged), else $HOME/.local/bin/secrets
// when that is a regular file, else "secrets" (looked up on PATH).
std::string secrets_bin();

// Runs the command with standard input closed; its standard output, made valid UTF-8 and
// trimmed, when it exits with status 0 and prints something. Absent when it cannot start,
// fails, prints nothing, or outlives its limit (it is then ended).
std::optional<std::string> read_nonempty(const Command& command);

// The variable-name prefix of a book: the name upper-cased (full Unicode mapping), then each
// "-" turned into "_" ("my-book" -> "MY_BOOK").
std::string book_suffix(std::string_view book);

// The trading base address: a loopback ALPACA_BASE_URL ("http://127.0.0.1:" or
// "http://localhost:" and a port), else the live endpoint when the key does not begin "PK" and
// `paper_trade` is "false", "FALSE" or "0", else the paper endpoint.
std::string base_for(std::string_view key, const std::optional<std::string>& paper_trade);

// The market-data base address: a loopback ALPACA_DATA_URL when ALPACA_BASE_URL is a loopback
// override too, else the market-data endpoint.
std::string data_base();

// --- Market prices ---

// The mid of the first snapshot's quote when the quote is two-sided and not crossed, else its
// latest trade price; absent when neither is there.
std::optional<double> mid_from_snapshot(const json::Json& answer);

// The price of an order's underlying: the OCC root's stock price for an option (absent without
// a request when the symbol is not an OCC symbol), the symbol's own price otherwise. Every
// failure gives absent.
std::optional<double> underlying_price_for(const Client& client, std::string_view symbol,
                                           AssetClass asset_class);

// --- Option leg derivations (pure) ---

// A parsed OCC option symbol.
struct Occ {
  std::string root;    // ASCII letters and digits, upper case
  std::string expiry;  // six digits YYMMDD as written
  double strike = 0;   // dollars
  char right = 'C';    // 'C' or 'P'

  bool operator==(const Occ&) const = default;
};

// Reads "ROOT[blanks]YYMMDD{C|P}SSSSSSSS" (surrounding white space ignored, letter case of the
// root and right ignored); absent for anything else.
std::optional<Occ> parse_occ(std::string_view symbol);

// True when an order of `qty` on `symbol` closes (part of) the first matching position: a buy
// against a short position, a sell against a long one, no larger than the position.
bool derive_intent(std::string_view symbol, Side side, const std::vector<Position>& positions,
                   double qty);

// Sets every leg's intent: closing exactly when the leg reduces a matching position. A
// multi-leg option ticket's own intent follows its legs: closing exactly when every leg closes.
void derive_leg_reduces(Order& order, const std::vector<Position>& positions);

// Sets the covered flag of the legs: buys and closing legs are covered; an opening sale of an
// option is covered when, leg by leg, cover is left for each of its units: a bought unit of the
// same series in the order covers one sold unit, 100 shares no open order holds
// (`Position::closable_f64`) one sold call, 100 shares short one sold put. Cover is counted
// once across the ticket.
void derive_leg_covered(Order& order, const std::vector<Position>& positions);

// `derive_leg_reduces`, then `derive_leg_covered`.
void derive_leg_facts(Order& order, const std::vector<Position>& positions);

// The root every leg of a multi-leg option ticket is a contract on; none for any other order,
// or when a leg is no contract or the legs name two roots.
std::optional<std::string> ticket_root(const Order& order);

// What a multi-leg option ticket on one root and one expiry can lose, from its legs, each
// trading the wire's units of 100 shares: the most their value at expiry falls below zero at a
// price of 0 or at a strike, plus `net` per unit of the ticket's quantity times 100, where `net`
// is what the ticket pays (a debit, positive) or the credit it is sure of (negative); never below
// 0. When the value keeps falling above the highest strike (calls sold that no bought call
// covers) the loss has no bound and `loss` is only what it reaches at the least.
struct LegsLoss {
  double loss = 0;
  bool bounded = true;
};

// Absent for any other order, and for a ticket whose legs have no units.
std::optional<LegsLoss> derive_max_loss(const Order& order, double net);

// --- The HTTP layer under the requests (exposed for its tests) ---

namespace http {

enum class Method { Get, Post };

struct Request {
  Method method = Method::Get;
  std::string_view url;
  std::string_view key_id;
  std::string_view secret_key;
  std::optional<std::string_view> json_body;
};

// What came back: the final status and the body, or why the body could not be read.
struct Answer {
  std::uint16_t status = 0;
  std::string body;
  std::optional<std::string> body_error;
};

struct Settings {
  std::chrono::milliseconds time_limit{30'000};  // for the whole request, redirects included
  std::size_t max_body = 10'485'760;             // decoded bytes
  int max_redirects = 5;
  std::string_view trusted_roots_pem;  // empty: the Mozilla roots compiled into the program
};

// Sends one request with the two credential headers (and the JSON body with its content type),
// over TLS 1.2 or later for https. A GET's redirects are followed only to the same scheme, host
// and port. An error text when no answer arrived, when the address, a redirect or the
// credentials were refused before sending, or when the answer was a redirect not followed: any
// redirect of a POST (the broker may already hold what was posted) and any 3xx without an
// address to follow.
Result<Answer, std::string> send(const Request& request, const Settings& settings = {});

// Sends the request and reads the answer the way every broker request does: the body of a
// success; `Http` with the first `error_chars` characters of the body (empty when it did not
// read) for a status of 400 or above; `Transport` when no answer came or a success's body did
// not read.
Result<std::string, AlpacaError> fetch(const Request& request, std::size_t error_chars);

}  // namespace http

}  // namespace vavev_aziz::alpaca
