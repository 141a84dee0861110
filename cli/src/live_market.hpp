// The program's side of the pipeline's two interfaces: `LiveMarket`, the market the pipeline
// revalidates an approved order against, and `Canned`, the fixed owner answer of `--verdict`.
// Also the one price lookup the order builder and the market view share.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "run.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/result.hpp"

namespace trade {

// Units of the underlying per unit traded: 100 shares per option contract, else 1.
double contract_multiplier(vavev_aziz::AssetClass asset_class);

// Whether the market data's answer is a price at all: finite and above zero. A zero or negative
// quote would size or revalidate an order as nearly free.
bool usable_price(double price);

// The latest price of `symbol` from a client built afresh from the environment; the client's
// or the price request's error otherwise, and a decode error for an answer that is no usable
// price. An option's fallback NOTE goes to `err`.
vavev_aziz::Result<double, vavev_aziz::alpaca::AlpacaError> latest_price(
    std::string_view symbol, vavev_aziz::AssetClass asset_class, std::ostream& err);

// A leg of a multi-leg ticket that could not be priced, and why.
struct UnpricedLeg {
  std::string symbol;
  vavev_aziz::alpaca::AlpacaError error;
};

// What one unit of a multi-leg ticket pays at the latest prices, each leg priced as an option
// by `latest_price`: the sum of each leg's price times its ratio, a sold leg's taken away, so a
// net credit is negative. The first leg that cannot be priced is the error.
vavev_aziz::Result<double, UnpricedLeg> net_debit(const vavev_aziz::Order& order,
                                                  std::ostream& err);

// What one unit of a single-instrument order is worth at `live_price`: a sale's limit is a
// floor (it may fill there or higher), so a sale with a limit is worth the higher of the two;
// anything else the live price.
double priced_at(const vavev_aziz::Order& order, double live_price);

// The live market over the broker. Every call builds a fresh client; no call ever fails:
// failures give the snapshot of positions taken at the start of the run, or no notional.
class LiveMarket final : public vavev_aziz::MarketView {
 public:
  // `offline`: nothing is asked of the broker; `err` receives the price lookup's NOTE.
  LiveMarket(std::vector<vavev_aziz::alpaca::Position> snapshot, bool offline, std::ostream& err);

  // The broker's positions now; the snapshot when offline or when they cannot be read.
  std::vector<vavev_aziz::alpaca::Position> positions() override;

  // The notional the order would be judged at now, from the quantity the wire sends: |quantity x
  // `priced_at` x multiplier| for one instrument; for a multi-leg ticket at market, its net
  // debit now times its quantity and 100, but never below the notional it was judged at. Absent
  // when offline, when the wire sends no quantity, for a multi-leg ticket with a limit (the
  // limit fixes what it pays), or when no price can be had.
  std::optional<double> notional_now(const vavev_aziz::Order& order) override;

  std::vector<vavev_aziz::alpaca::Position> snapshot;
  bool offline;

 private:
  std::ostream& err_;
};

// The owner channel of `--verdict`: the same answer to every question, at once.
class Canned final : public vavev_aziz::Asker {
 public:
  explicit Canned(vavev_aziz::Verdict verdict) : verdict(std::move(verdict)) {}

  // "approved", "denied" and "expired" give those answers, "undeliverable" the undeliverable
  // answer with the reason "forced by --verdict"; any other word gives none.
  static std::optional<Canned> from_word(std::string_view word);

  vavev_aziz::Verdict ask(const std::string& question, vavev_aziz::Duration ttl) override;

  vavev_aziz::Verdict verdict;
};

}  // namespace trade
