#include "vavev_aziz/order.hpp"

#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {

std::string_view word(Side s) {
  return s == Side::Buy ? "buy" : "sell";
}
std::string_view word(Intent i) {
  return i == Intent::Opening ? "opening" : "closing";
}
std::string_view word(AssetClass c) {
  switch (c) {
    case AssetClass::Equity:
      return "equity";
    case AssetClass::Option:
      return "option";
    case AssetClass::Crypto:
      return "crypto";
  }
  return "equity";
}

std::string_view debug_name(Side s) {
  return s == Side::Buy ? "Buy" : "Sell";
}
std::string_view debug_name(Intent i) {
  return i == Intent::Opening ? "Opening" : "Closing";
}
std::string_view debug_name(AssetClass c) {
  switch (c) {
    case AssetClass::Equity:
      return "Equity";
    case AssetClass::Option:
      return "Option";
    case AssetClass::Crypto:
      return "Crypto";
  }
  return "Equity";
}

std::optional<Side> parse_side(std::string_view text) {
  const auto w = text::ascii_lower(text);
  if (w == "buy") return Side::Buy;
  if (w == "sell") return Side::Sell;
  return std::nullopt;
}

std::optional<AssetClass> parse_asset_class(std::string_view text) {
  const auto w = text::ascii_lower(text);
  if (w == "equity" || w == "stock" || w == "us_equity") return AssetClass::Equity;
  if (w == "option" || w == "options") return AssetClass::Option;
  if (w == "crypto") return AssetClass::Crypto;
  return std::nullopt;
}

std::optional<std::string> crypto_pair(std::string_view symbol) {
  const std::string upper = text::ascii_upper(symbol);
  const auto slash = upper.find('/');
  if (slash != std::string::npos) {
    if (slash > 0 && slash + 1 < upper.size()) return upper;
    return std::nullopt;
  }
  for (std::string_view quote : {"USDT", "USDC", "USD", "BTC", "ETH"}) {
    if (upper.size() > quote.size() && upper.ends_with(quote))
      return fmt::format("{}/{}", upper.substr(0, upper.size() - quote.size()), quote);
  }
  return std::nullopt;
}

std::string instrument_key(std::string_view symbol) {
  return crypto_pair(symbol).value_or(text::ascii_upper(symbol));
}

bool same_instrument(std::string_view a, std::string_view b) {
  return instrument_key(a) == instrument_key(b);
}

Order Order::propose(std::string symbol, AssetClass asset_class, Side side, Intent intent,
                     double notional) {
  Order o;
  o.symbol = std::move(symbol);
  o.asset_class = asset_class;
  o.side = side;
  o.intent = intent;
  o.notional = notional;
  o.client_order_id = new_client_order_id();
  return o;
}

bool Order::reduces_risk() const {
  if (legs.empty()) return intent == Intent::Closing;
  for (const auto& leg : legs)
    if (leg.intent != Intent::Closing) return false;
  return true;
}

bool Order::naked_short() const {
  if (asset_class != AssetClass::Option) return false;
  for (const auto& leg : legs)
    if (leg.side == Side::Sell && !leg.covered) return true;
  return false;
}

std::string Order::summary() const {
  const std::string legs_prefix = legs.size() > 1 ? fmt::format("{}-leg ", legs.size()) : "";
  return fmt::format("{} {}{} {} ${}{} ({})", side == Side::Buy ? "BUY" : "SELL", legs_prefix,
                     word(asset_class), symbol, numbers::fixed(notional, 2),
                     naked_short() ? " NAKED SHORT" : "", word(intent));
}

std::string uuid_v4(const unsigned char (&bytes)[16]) {
  unsigned char b[16];
  for (int i = 0; i < 16; ++i)
    b[i] = bytes[i];
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += fmt::format("{:02x}", b[i]);
  }
  return out;
}

std::string new_client_order_id() {
  unsigned char bytes[16];
  if (auto got = platform::random_bytes(bytes, sizeof bytes); !got) {
    // Without randomness no order may be created: an id that could repeat would join two
    // orders in the journal and at the broker.
    std::fputs(fmt::format("tovra trade: could not retrieve random bytes for uuid: {}\n",
                           got.error().message())
                   .c_str(),
               stderr);
    std::exit(3);
  }
  return "tovra-" + uuid_v4(bytes);
}

}  // namespace vavev_aziz
