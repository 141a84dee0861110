// The order model: the one record that travels through the whole system.
//
// An `Order` is what the agent proposes: one instrument (or a multi-leg option structure), a
// side, an intent, a size in dollars, an optional limit price, a thesis, and the client order
// id that joins the journal's entries with the broker's order. Legs carry their own side and
// quantity; their intent and covered flag are derived from live positions, never declared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vavev_aziz {

enum class Side { Buy, Sell };
enum class Intent { Opening, Closing };
enum class AssetClass { Equity, Option, Crypto };

// The written words ("buy", "opening", "equity") used in every file and message.
std::string_view word(Side s);
std::string_view word(Intent i);
std::string_view word(AssetClass c);

// The debug names ("Buy", "Opening", "Equity").
std::string_view debug_name(Side s);
std::string_view debug_name(Intent i);
std::string_view debug_name(AssetClass c);

// The command line's word parsers (Side::parse and AssetClass::parse of the order model):
// ASCII letter case ignored, nothing trimmed. "buy" / "sell", respectively "equity", "stock",
// "us_equity", "option", "options", "crypto"; anything else, the empty text included, is none.
std::optional<Side> parse_side(std::string_view text);
std::optional<AssetClass> parse_asset_class(std::string_view text);

// A crypto pair's one spelling, "BASE/QUOTE" in capitals, for a symbol that reads as one: a "/"
// with text on both sides, or a symbol ending, in any letter case, in a quote currency (USDT,
// USDC, USD, BTC, ETH) after some text ("btcusd" is "BTC/USD"). None for anything else.
std::optional<std::string> crypto_pair(std::string_view symbol);

// Whether two symbols name one instrument: the same text but for ASCII letter case, or one
// crypto pair however it is spelled. Rules, the denial memory and the positions all tell
// instruments apart by this, so no spelling is a way around them.
bool same_instrument(std::string_view a, std::string_view b);

// The instrument's one spelling that `same_instrument` compares: a crypto pair's, else the
// symbol with ASCII letters in capitals.
std::string instrument_key(std::string_view symbol);

// One instrument of a multi-leg order.
struct Leg {
  std::string symbol;
  double qty = 0;               // greater than 0
  std::uint32_t ratio_qty = 1;  // at least 1
  Side side = Side::Buy;
  bool covered = false;             // set by the leg derivations
  Intent intent = Intent::Opening;  // set by the leg derivations
};

// One proposed order. Copying copies everything, legs included.
struct Order {
  std::string symbol;
  AssetClass asset_class = AssetClass::Equity;
  Side side = Side::Buy;
  Intent intent = Intent::Opening;
  double notional = 0;
  std::string client_order_id;
  std::optional<double> limit_price;  // signed net price; a net credit is negative
  std::vector<Leg> legs;
  std::string thesis;
  double quoted_at = 0;  // epoch seconds of the price behind `notional`; 0: no live price

  // A fresh order: new client order id, no legs, empty thesis, no limit, quoted_at 0.
  static Order propose(std::string symbol, AssetClass asset_class, Side side, Intent intent,
                       double notional);

  // With no legs: the order's intent is closing. With legs: every leg's intent is closing.
  bool reduces_risk() const;

  // True for an option order with at least one sold leg that is not covered.
  bool naked_short() const;

  // One line: "BUY equity AAPL $1500.00 (opening)",
  // "SELL 2-leg option SPY $250.00 NAKED SHORT (opening)".
  std::string summary() const;
};

// "tovra-" and a random version-4 UUID in lowercase 8-4-4-4-12 form (42 characters). If the
// platform's random source fails, the process stops with
// "could not retrieve random bytes for uuid: {}".
std::string new_client_order_id();

// The version-4 UUID text made from 16 random bytes (version and variant bits set here).
std::string uuid_v4(const unsigned char (&bytes)[16]);

}  // namespace vavev_aziz
