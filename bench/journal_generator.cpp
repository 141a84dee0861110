// Writes a realistic journal for the benchmarks: interleaved opens, partial and complete fills,
// closes, exits, refusals and the odd halt, with field values of the sizes the proposal
// pipeline writes. The journal depends only on the number of events asked for, the same on
// every platform, so a report over it can be checked against a known digest.
//
//   journal_generator EVENTS PATH    writes the journal and prints the number of orders
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "vavev_aziz/support/numbers.hpp"

namespace {

constexpr std::array<std::string_view, 9> kStructures = {
    "put_credit_spread", "call_credit_spread", "iron_condor", "Iron_Condor", "covered_call",
    "equity_long",       "long_call",          "strangle",    "smoke_test"};
constexpr std::array<std::string_view, 4> kProposers = {"loop", "cli", "mcp", "agent-7"};
constexpr std::array<std::string_view, 6> kSymbols = {
    "SPY250117P00450000", "QQQ250221C00400000", "AAPL", "IWM250314P00190000", "MSFT", "BTC/USD"};
constexpr std::array<std::string_view, 5> kTheses = {
    "IV rank elevated after earnings; selling premium below support at the 30-delta strike",
    "Mean reversion after a three-sigma move; defined risk, small size",
    "Trend continuation above the 50-day average \u2014 exit on a close below it",
    "Rich put skew into the index rebalance; harvest the decay over thirty days",
    "Hedge the book's delta ahead of the rate decision"};
constexpr std::array<std::string_view, 4> kRules = {"options-ask-briefly", "small-equity-opens",
                                                    "big-ticket-always-asks", "exits-are-free"};
constexpr std::array<std::string_view, 5> kVerdicts = {"denied", "expired", "risk_refused",
                                                       "denied_from_memory", "stale"};

// A number as the journal writes it: shortest text, ".0" on whole values.
std::string num(double v) {
  return vavev_aziz::numbers::debug(v);
}

struct Pending {
  std::string id;
  double max_qty;
  int stage = 0;  // 0: awaiting fill, 1: partly filled, 2: filled, awaiting close
  bool rejected = false;
  bool partial = false;
  bool closes = false;
};

class Generator {
 public:
  explicit Generator(std::FILE* out) : out_(out), rng_(20240611) {}

  // Writes `events` lines; returns the number of orders (distinct open ids) among them.
  std::size_t run(std::size_t events) {
    std::size_t orders = 0;
    for (std::size_t written = 0; written < events; ++written) {
      const double r = unit();
      if (r < 0.22 || pending_.empty()) {
        open();
        ++orders;
      } else if (r < 0.40) {
        refused();
      } else if (r < 0.401) {
        halted();
      } else {
        follow_up();
      }
    }
    return orders;
  }

 private:
  // The engine's output is fixed by the standard, unlike the distributions' use of it.
  double unit() { return static_cast<double>(rng_() >> 11) * 0x1.0p-53; }
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  double now() { return clock_ += 0.5 + unit() * 90; }
  double price(double lo, double hi) { return std::round((lo + unit() * (hi - lo)) * 100) / 100; }

  std::string uuid() {
    std::string s = "tovra-";
    for (int i = 0; i < 32; ++i) {
      if (i == 8 || i == 12 || i == 16 || i == 20) s += '-';
      s += "0123456789abcdef"[pick(16)];
    }
    return s;
  }

  void line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
  }

  void open() {
    Pending p{uuid(), static_cast<double>(1 + pick(10))};
    const bool exit = unit() < 0.1 && !recent_.empty();
    const std::string closes =
        exit && unit() < 0.8 ? fmt::format("\"{}\"", recent_[pick(recent_.size())]) : "null";
    const std::string iv_rank = unit() < 0.05 ? "null" : num(std::round(unit() * 1000) / 1000);
    const std::string max_loss = unit() < 0.03 ? "null" : num(price(50, 2000));
    line(fmt::format(
        "{{\"event\":\"open\",\"id\":\"{}\",\"at\":{},\"symbol\":\"{}\",\"structure\":\"{}\","
        "\"thesis\":\"{}\",\"iv_rank\":{},\"iv\":{},\"underlying_price\":{},\"qty\":{},"
        "\"short_delta\":{},\"credit\":{},\"max_loss\":{},\"dte\":{},\"gate_rule\":\"{}\","
        "\"approved_by\":\"{}\",\"by\":\"{}\",\"exit\":{},\"closes\":{}}}",
        p.id, num(now()), kSymbols[pick(kSymbols.size())], kStructures[pick(kStructures.size())],
        kTheses[pick(kTheses.size())], iv_rank, num(price(0.1, 0.9)), num(price(20, 600)),
        num(p.max_qty), num(-price(0.05, 0.45)), num(price(0.2, 5)), max_loss, 1 + pick(60),
        kRules[pick(kRules.size())], unit() < 0.5 ? "rule" : "operator",
        kProposers[pick(kProposers.size())], exit ? "true" : "false", closes));
    p.rejected = unit() < 0.05;
    p.partial = unit() < 0.2;
    p.closes = unit() < 0.85;
    recent_.push_back(p.id);
    if (recent_.size() > 200) recent_.pop_front();
    pending_.push_back(std::move(p));
  }

  void refused() {
    line(fmt::format(
        "{{\"event\":\"refused\",\"id\":\"{}\",\"at\":{},\"by\":\"{}\",\"symbol\":\"{}\","
        "\"thesis\":\"{}\",\"verdict\":\"{}\",\"gate_rule\":\"{}\"}}",
        uuid(), num(now()), kProposers[pick(kProposers.size())], kSymbols[pick(kSymbols.size())],
        kTheses[pick(kTheses.size())], kVerdicts[pick(kVerdicts.size())],
        kRules[pick(kRules.size())]));
  }

  void halted() {
    line(fmt::format(
        "{{\"event\":\"halted\",\"at\":{},\"kind\":\"drawdown\",\"reason\":\"drawdown 10.4% from "
        "high-water mark exceeds the 10% limit\",\"equity\":{},\"high_water\":{},\"iv_rank\":{}}}",
        num(now()), num(price(80000, 90000)), num(price(95000, 100000)), num(unit())));
  }

  void fill(Pending& p, double filled, std::string_view status) {
    line(fmt::format(
        "{{\"event\":\"fill\",\"id\":\"{}\",\"at\":{},\"status\":\"{}\",\"filled_qty\":{},"
        "\"intended_qty\":{},\"avg_price\":{},\"actual_credit\":{},\"note\":\"\"}}",
        p.id, num(now()), status, num(filled), num(p.max_qty),
        filled > 0 ? num(price(0.5, 500)) : "null", filled > 0 ? num(price(0.2, 5)) : "null"));
  }

  // The next step of a random order still in flight (a bounded window keeps the interleaving
  // local, as in a real account).
  void follow_up() {
    const std::size_t window = std::min<std::size_t>(pending_.size(), 64);
    const std::size_t at = pending_.size() - 1 - pick(window);
    Pending& p = pending_[at];
    bool done = false;
    if (p.stage == 0 && p.rejected) {
      fill(p, 0, "rejected");
      done = true;
    } else if (p.stage == 0 && p.partial) {
      fill(p, std::floor(p.max_qty / 2), "partially_filled");
      p.stage = 1;
    } else if (p.stage <= 1) {
      fill(p, p.max_qty, "filled");
      p.stage = 2;
      done = !p.closes;
    } else {
      const double pnl = std::round((unit() - 0.42) * 800 * 100) / 100;
      line(fmt::format(
          "{{\"event\":\"close\",\"id\":\"{}\",\"at\":{},\"realized_pnl\":{},\"outcome\":\"{}\","
          "\"underlying_price\":{},\"note\":\"{}\"}}",
          p.id, num(now()), num(pnl), pnl > 0 ? "profit" : "stopped", num(price(20, 600)),
          unit() < 0.3 ? "closed at 50% of max profit" : ""));
      done = true;
    }
    if (done) pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  std::FILE* out_;
  std::mt19937_64 rng_;
  double clock_ = 1714000000.0;
  std::deque<Pending> pending_;
  std::deque<std::string> recent_;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t events = 0;
  const std::string_view count = argc == 3 ? argv[1] : "";
  if (std::from_chars(count.data(), count.data() + count.size(), events).ptr !=
          count.data() + count.size() ||
      events == 0) {
    std::fprintf(stderr, "usage: journal_generator EVENTS PATH\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (!out) {
    std::perror(argv[2]);
    return 1;
  }
  std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
  const std::size_t orders = Generator(out).run(events);
  if (std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  std::printf("%zu\n", orders);
  return 0;
}
