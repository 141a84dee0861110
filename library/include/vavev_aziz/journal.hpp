// The trade journal: one append-only JSON-lines file per account that records every
// proposal's fate and every order's later history, the fold of its events into one trade per
// order, and the attribution statistics over the closed trades.
//
// Five kinds of event share the file: open (an approved order, journalled before it is sent),
// fill (what the broker did with it), close (its realized result), refused (a proposal that did
// not pass) and halted (a halt raised by the survival layer). Events of one order share its
// client order id. Reading never fails: a missing or unreadable file is an empty journal and an
// unreadable line is skipped.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "vavev_aziz/support/result.hpp"

namespace vavev_aziz {

// The proposer recorded when a line names none: "unknown".
constexpr std::string_view proposer_unknown() {
  return "unknown";
}

// An order that was approved and journalled before it is sent.
struct OpenEntry {
  std::string id;  // the client order id; joins every event of one order
  double at = 0;   // seconds since the Unix epoch
  std::string symbol;
  std::string structure;  // the proposal's structure label
  std::string thesis;
  std::optional<double> iv_rank;  // 0 to 1
  std::optional<double> iv;
  std::optional<double> underlying_price;
  std::optional<double> qty;
  std::optional<double> short_delta;
  std::optional<double> credit;
  std::optional<double> max_loss;  // the order's defined risk in dollars
  std::optional<std::uint32_t> dte;
  std::string gate_rule;
  std::string approved_by;  // "rule" or "operator"
  std::string by = std::string(proposer_unknown());
  bool exit = false;                  // the order only reduces risk
  std::optional<std::string> closes;  // for an exit: the id of the trade it exits
};

// The realized result of a trade.
struct CloseEntry {
  std::string id;
  double at = 0;
  double realized_pnl = 0;  // profit positive, loss negative, dollars
  std::string outcome;
  std::optional<double> underlying_price;
  std::string note;
};

// A proposal that did not pass.
struct RefusedEntry {
  std::string id;
  double at = 0;
  std::string by = std::string(proposer_unknown());
  std::string symbol;
  std::string thesis;     // the thesis, or the refusal reason where the thesis is empty
  std::string verdict;    // the refusal's outcome code
  std::string gate_rule;  // the matching rule, or a marker of the layer that refused
  // For the owner's no only: the kind of order refused (its fingerprint) and the time until
  // which the same kind is not asked about again, so the refusal outlives a denial memory
  // that could not be saved.
  std::optional<std::string> denied_fingerprint = std::nullopt;
  std::optional<double> denied_until = std::nullopt;
};

// What the broker did with a submitted order.
struct FillEntry {
  std::string id;
  double at = 0;
  std::string status;
  double filled_qty = 0;
  double intended_qty = 0;
  std::optional<double> avg_price;
  std::optional<double> actual_credit;
  std::string note;
};

// A halt raised by the survival layer (it carries no id).
struct HaltEntry {
  double at = 0;
  std::string kind;
  std::string reason;
  double equity = 0;
  double high_water = 0;
  std::optional<double> iv_rank;
};

// One journal line.
struct Event {
  std::variant<OpenEntry, CloseEntry, RefusedEntry, FillEntry, HaltEntry> value;

  const OpenEntry* open() const { return std::get_if<OpenEntry>(&value); }
  const CloseEntry* close() const { return std::get_if<CloseEntry>(&value); }
  const RefusedEntry* refused() const { return std::get_if<RefusedEntry>(&value); }
  const FillEntry* fill() const { return std::get_if<FillEntry>(&value); }
  const HaltEntry* halted() const { return std::get_if<HaltEntry>(&value); }
  // The line's tag word: "open", "close", "refused", "fill" or "halted".
  std::string_view tag() const;
};

// A halt as the journal holds it, and where its line starts in the file.
struct JournalledHalt {
  HaltEntry halt;
  std::uint64_t line_start = 0;
};

// An owner's no as the journal holds it: the kind of order refused, the time until which it is
// not asked about again, and where its line starts in the file.
struct JournalledRefusal {
  std::string fingerprint;
  double until = 0;
  std::uint64_t line_start = 0;
};

// Whether a fold also reads the owner's refusals; refused lines are otherwise passed over
// unread.
enum class Refusals { Skipped, Read };

class Trades;

// The fold's record of one order: what the commands and the statistics read of its first open
// entry, its latest fill and its latest close. Its texts are kept by the `Trades` that holds
// it, so a trade (or a copy of one) is valid only while that fold lives.
class Trade {
 public:
  // From the order's first open entry.
  std::string_view id() const { return text(id_); }
  double at() const { return at_; }
  std::string_view symbol() const { return text(symbol_); }
  std::string_view structure() const { return text(structure_); }
  std::string_view by() const { return text(by_); }
  std::optional<double> iv_rank() const { return number(iv_rank_); }
  std::optional<double> qty() const { return number(qty_); }
  std::optional<double> max_loss() const { return number(max_loss_); }
  bool exit() const { return closes_ != nullptr; }  // the order only reduces risk
  // For an exit: the id of the trade it exits (an order that is no exit names none).
  std::optional<std::string_view> closes() const {
    if (!closes_ || closes_ == kNoTarget) return std::nullopt;
    return text(closes_);
  }

  // The latest close's realized P&L; absent while no result is recorded.
  std::optional<double> realized_pnl() const { return number(realized_pnl_); }
  bool closed() const { return !std::isnan(realized_pnl_); }

  // The latest fill; absent while the order awaits the broker.
  struct Fill {
    std::string_view status;
    double filled_qty = 0;
    double intended_qty = 0;
  };
  std::optional<Fill> fill() const {
    if (!status_) return std::nullopt;
    return Fill{text(status_), filled_qty_, intended_qty_};
  }

  // False exactly when a fill shows that nothing of the order was filled.
  bool placed() const { return !status_ || filled_qty_ > 0; }

  // Whether the trade holds a position: no close, not an exit, and placed.
  bool holds_position() const { return !closed() && !exit() && placed(); }

  // The risk the trade still carries: "max_loss" scaled by the filled fraction of the fill
  // (clamped to 0..1; 0 when the intended quantity is 0 or less), the whole "max_loss" without
  // a fill, absent without a "max_loss".
  std::optional<double> effective_max_loss() const {
    if (std::isnan(max_loss_)) return std::nullopt;
    if (!status_) return max_loss_;
    double part = 0;
    if (intended_qty_ > 0) part = std::clamp(filled_qty_ / intended_qty_, 0.0, 1.0);
    return max_loss_ * part;
  }

 private:
  friend class Trades;

  // Every bit counts in a fold of a long journal, so absence is told by the values themselves:
  // a number that is absent is NaN (a journal's numbers are always finite), a fill by its
  // status text, an exit by what it names (this marker when it names nothing).
  static constexpr char kNoTarget[1] = {0};
  static std::optional<double> number(double value) {
    return std::isnan(value) ? std::nullopt : std::optional(value);
  }

  // A kept text: its length in one byte, or from 255 bytes on the byte 255 and then the length
  // in four, then its bytes; null for none.
  static std::string_view text(const char* kept) {
    if (!kept) return {};
    const auto size = static_cast<unsigned char>(*kept);
    if (size < 255) return {kept + 1, size};
    std::uint32_t long_size;
    std::memcpy(&long_size, kept + 1, sizeof long_size);
    return {kept + 1 + sizeof long_size, long_size};
  }

  const char* id_ = nullptr;
  const char* symbol_ = nullptr;
  const char* structure_ = nullptr;
  const char* by_ = nullptr;
  const char* closes_ = nullptr;  // null for an order that is no exit
  const char* status_ = nullptr;  // null while there is no fill
  double at_ = 0;
  double iv_rank_ = std::numeric_limits<double>::quiet_NaN();
  double qty_ = std::numeric_limits<double>::quiet_NaN();
  double max_loss_ = std::numeric_limits<double>::quiet_NaN();
  double realized_pnl_ = std::numeric_limits<double>::quiet_NaN();
  double filled_qty_ = 0;
  double intended_qty_ = 0;
};

// The trades of one journal, one per order in the order of its first open event, and the texts
// they view: each distinct symbol, structure, proposer and fill status is kept once. Trades sit
// in fixed-size chunks, so a fold grows without ever copying what it already holds.
class Trades {
 public:
  Trades();
  ~Trades();
  Trades(Trades&&) noexcept;
  Trades& operator=(Trades&&) noexcept;

  // Folds one more event in, whose line starts at `line_start` in the file. An open adds a
  // trade unless one with its id is there already (the first open wins); a close or a fill
  // becomes the latest of the trade with its id, when there is one (so one that stands before
  // its open is ignored); a halted event is kept as the last one written, and as the latest
  // when it is so by its time (the later line on a tie); a refused one is kept when it is the
  // owner's no (it names the fingerprint denied and until when), and changes nothing else.
  void add(const Event& event, std::uint64_t line_start = 0);

  // The latest halt folded in by its time stamp, if any: the journal's copy of a halt, kept
  // whether or not the risk state it was raised into could be saved.
  const std::optional<HaltEntry>& latest_halt() const { return latest_halt_; }

  // The halt on the last halted line, with where that line starts. What a person cleared is a
  // place in the journal, so a halt written after it stands whatever its time stamp says.
  const std::optional<JournalledHalt>& last_halt() const { return last_halt_; }

  // How far the journal was read: up to and including its last line feed (0 for a fold that
  // read no file). Every line that starts before it was read.
  std::uint64_t read_through() const { return read_through_; }

  // The owner's refusals folded in, in journal order (none unless refused lines were read).
  const std::vector<JournalledRefusal>& owner_refusals() const { return owner_refusals_; }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Trade& operator[](std::size_t i) const { return chunks_[i >> kChunkBits][i & kChunkMask]; }

  // The trade with this id (ids are compared byte for byte), if there is one.
  const Trade* find(std::string_view id) const;

  // Keeps only the trades for which `keep` holds, in their order.
  template <class Keep>
  void retain(Keep keep) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size_; ++i)
      if (keep((*this)[i])) at(kept++) = (*this)[i];
    size_ = kept;
    chunks_.resize((size_ + kChunkMask) >> kChunkBits);
    reindex();
  }

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Trade;
    using difference_type = std::ptrdiff_t;
    using pointer = const Trade*;
    using reference = const Trade&;

    const_iterator() = default;
    reference operator*() const { return (*trades_)[i_]; }
    pointer operator->() const { return &(*trades_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++i_;
      return before;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    friend class Trades;
    const_iterator(const Trades* trades, std::size_t i) : trades_(trades), i_(i) {}
    const Trades* trades_ = nullptr;
    std::size_t i_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  friend class Journal;
  static constexpr std::size_t kChunkBits = 12;
  static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;

  Trade& at(std::size_t i) { return chunks_[i >> kChunkBits][i & kChunkMask]; }
  auto ids() const {
    return [this](std::size_t i) { return (*this)[i].id(); };
  }
  const char* label(std::string_view text);
  void open(const OpenEntry& entry);
  Trade* latest_of(std::string_view id);
  void reindex();

  std::vector<std::unique_ptr<Trade[]>> chunks_;
  std::size_t size_ = 0;
  struct Kept;  // the texts and the index by id
  std::unique_ptr<Kept> kept_;
  std::optional<HaltEntry> latest_halt_;
  std::optional<JournalledHalt> last_halt_;
  std::uint64_t read_through_ = 0;
  std::vector<JournalledRefusal> owner_refusals_;
};

// A filled exit order whose result is not recorded.
struct ExitGap {
  std::string exit_id;
  std::string symbol;
  std::optional<std::string> closes;  // the still-open trade the exit names
  double at = 0;                      // the exit's open time
  bool named = false;                 // true exactly when `closes` is present
};

// The handle on one account's journal file. It holds only the path; every operation opens the
// file afresh, so each view sees the file as it is at that moment.
class Journal {
 public:
  explicit Journal(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& path() const { return path_; }

  // Appends the event as one compact JSON line ("event" first, every key in its fixed order,
  // null for a missing or non-finite value), creating the missing folders and the file. On
  // failure returns the platform's error; a failed write may leave part of the line behind.
  Result<void, std::error_code> append(const Event& event) const;

  // The same, returning where the line starts in the file (its first byte's offset), which
  // places the event among the journal's lines whatever its time stamp says.
  Result<std::uint64_t, std::error_code> append_and_locate(const Event& event) const;

  // Every readable event in file order. Never fails: a missing or unreadable file reads as
  // empty, and a line that is unreadable (bad JSON, invalid UTF-8, a wrong type, a repeated
  // key...) is skipped while the lines around it are read.
  std::vector<Event> events() const;

  // One trade per order, in the order of each order's first open event, the halts and, when
  // asked for, the owner's refusals (`Trades::add`).
  Trades trades(Refusals refusals = Refusals::Skipped) const;

  // The same with only the trades that hold a position (`Trade::holds_position`).
  Trades open_trades(Refusals refusals = Refusals::Skipped) const;

  // How far the journal's lines reach: its bytes up to and including the last line feed, as
  // a fold would read it now (`Trades::read_through`), without reading the lines. 0 for a
  // missing or unreadable file.
  std::uint64_t length() const;

  // `exits_awaiting_close` of this journal's trades.
  std::vector<ExitGap> exits_awaiting_close() const;

 private:
  std::filesystem::path path_;
};

// The filled exits among `trades` whose result is missing: an exit naming a trade is listed
// while that trade has no close; an exit naming none is listed for as long as it stands in the
// journal.
std::vector<ExitGap> exits_awaiting_close(const Trades& trades);

// Attribution: the statistics of one slice of closed trades. Its return on risk per trade is
// the realized P&L divided by the effective maximum loss.
struct Attribution {
  std::string label;
  std::uint64_t n = 0;            // trades of the slice that have a return on risk
  std::uint64_t wins = 0;         // of those, the ones whose realized P&L is above 0
  double mean_ror = 0;            // 0 when n is 0
  double sd_ror = 0;              // sample standard deviation; 0 when n is 0 or 1
  double total_pnl = 0;           // over every closed trade of the slice, from -0.0
  std::uint64_t family_size = 0;  // the number of slices compared with this one

  // The t statistic of the mean return on risk (the mean over its standard error); 0 with
  // fewer than two trades or no spread.
  double t_stat() const;

  // One line of text: too few trades below 30, otherwise the t statistic against the critical
  // value for the family size, saying whether the slice is distinguishable from luck.
  std::string verdict() const;

  // The number of trades at which a slice with this mean and spread would reach its critical
  // value (rounded up, saturating); absent when the mean is 0 or there is no spread.
  std::optional<std::uint64_t> n_needed() const;
};

// A slice needs this many trades with a return on risk before it gets a verdict.
inline constexpr std::uint64_t kVerdictMinTrades = 30;

// The two-sided 5% critical value corrected for k comparisons: a table up to 10 (0 counts as
// 1), then 2.81 + 0.03 per slice beyond 10.
double critical_value(std::uint64_t k);

// Whether the trade enters attribution: it has a close, is not an exit, was not filled with
// nothing, and its structure has no underscore-separated piece "test" or "smoke".
bool countable(const Trade& trade);

// The statistics of exactly the given trades, in the given order, under `label` with family
// size `k`.
Attribution score(std::string_view label, std::span<const Trade* const> trades, std::uint64_t k);

// "ALL closed trades" over the countable trades, k = 1.
Attribution overall(const Trades& trades);

// Four slices by iv rank at entry (0-25%, 25-50%, 50-75%, 75-100%), always all four, k = 4.
std::vector<Attribution> by_iv_rank(const Trades& trades);

// One slice per distinct structure of the countable trades, ascending by bytes; k is the
// number of slices.
std::vector<Attribution> by_structure(const Trades& trades);

// One slice per distinct proposer of the countable trades, ascending by bytes; k is the
// number of slices.
std::vector<Attribution> by_proposer(const Trades& trades);

// All four of the above from one reading of the trades, as each would give them.
struct Attributions {
  Attribution overall;
  std::vector<Attribution> by_iv_rank;
  std::vector<Attribution> by_structure;
  std::vector<Attribution> by_proposer;
};
Attributions attribute(const Trades& trades);

}  // namespace vavev_aziz
