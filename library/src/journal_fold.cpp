// The fold of a journal's events into one trade per order, and the views built on it.
//
// A fold of a long journal holds a few hundred thousand trades, so each is kept small: texts
// are stored once in a growing arena (an id in its own bytes, a symbol, structure, proposer or
// fill status once for all the trades that share it), and the trades themselves sit in
// fixed-size chunks, so growing never copies what is already there.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

#include "journal_reader.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz {
namespace {

// Texts laid end to end in large blocks, each as its length and its bytes, the way
// `Trade::text` reads them. Texts come from journal lines, which the reader takes only below
// 4 GiB.
class TextArena {
 public:
  const char* add(std::string_view text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    const std::size_t head = size < 255 ? 1 : 1 + sizeof size;
    const std::size_t need = head + text.size();
    if (need > left_) grow(need);
    char* at = next_;
    if (size < 255) {
      at[0] = static_cast<char>(size);
    } else {
      at[0] = static_cast<char>(255);
      std::memcpy(at + 1, &size, sizeof size);
    }
    std::memcpy(at + head, text.data(), text.size());
    next_ += need;
    left_ -= need;
    return at;
  }

 private:
  static constexpr std::size_t kBlock = 256 << 10;

  void grow(std::size_t need) {
    const std::size_t size = std::max(need, kBlock);
    // Left uninitialised: only what is written is ever touched.
    blocks_.emplace_back(new char[size]);
    next_ = blocks_.back().get();
    left_ = size;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

// An open-addressing table from texts to positions in a list that holds them: the ids of the
// trades, the labels. Each slot keeps 32 bits of the text's hash beside the position, so a
// probe reads a text only when those agree; eight bytes a slot and at most three quarters full
// keep the table small. Positions are 32-bit: a fold of four billion trades would not fit in
// memory. `text_at` gives the text at a position.
//
// A journal's fills and closes follow their opens closely, so the texts last found or added sit
// in a small cache in front of the table: once the table outgrows the processor's caches, most
// lookups are still answered without a trip to memory.
class TextIndex {
 public:
  void clear() {
    slots_.clear();
    used_ = 0;
    recent_.fill(Slot{});
  }

  // The position of `text`, if the table has it.
  template <class TextAt>
  std::optional<std::size_t> find(const TextAt& text_at, std::string_view text) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint32_t h = hash(text);
    Slot& recent = recent_[h & kRecentMask];
    if (holds(text_at, recent, h, text)) return recent.at;
    const std::uint32_t at = slots_[probe(text_at, h, text)].at;
    if (at == kEmpty) return std::nullopt;
    recent = Slot{h, at};
    return at;
  }

  // The hash of `text`, once its slot in the table is on its way to the processor's cache, so
  // that other work can overlap the wait for memory.
  std::uint32_t prefetch(std::string_view text) const {
    const std::uint32_t h = hash(text);
    if (!slots_.empty()) __builtin_prefetch(&slots_[h & (slots_.size() - 1)]);
    return h;
  }

  // The position of `text`, if the table has it; otherwise nothing, and `fresh` becomes its
  // position: the caller puts the text there before the table is used again.
  template <class TextAt>
  std::optional<std::size_t> find_or_add(const TextAt& text_at, std::string_view text,
                                         std::size_t fresh) {
    return find_or_add(text_at, text, fresh, hash(text));
  }
  // The same, with the text's hash already known.
  template <class TextAt>
  std::optional<std::size_t> find_or_add(const TextAt& text_at, std::string_view text,
                                         std::size_t fresh, std::uint32_t h) {
    if (4 * (used_ + 1) > 3 * slots_.size()) rebuild(std::max<std::size_t>(16, 2 * slots_.size()));
    Slot& recent = recent_[h & kRecentMask];
    if (holds(text_at, recent, h, text)) return recent.at;
    Slot& slot = slots_[probe(text_at, h, text)];
    const bool found = slot.at != kEmpty;
    if (!found) {
      slot = Slot{h, static_cast<std::uint32_t>(fresh)};
      ++used_;
    }
    recent = slot;
    if (found) return slot.at;
    return std::nullopt;
  }

 private:
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t at = kEmpty;
  };

  // A hash of every byte, eight at a time, mixed by multiplication: ids and labels are short,
  // and a fold hashes a few of them per line. The texts are the system's own (ids it made),
  // not chosen against the table.
  static std::uint32_t hash(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t h = 0x9e3779b97f4a7c15u ^ n;
    const auto mix = [&h](std::uint64_t word) {
      h = (h ^ word) * 0xbf58476d1ce4e5b9u;
      h ^= h >> 31;
    };
    const auto load = [](const char* at, auto word) {
      std::memcpy(&word, at, sizeof word);
      return static_cast<std::uint64_t>(word);
    };
    if (n >= 8) {
      std::size_t i = 0;
      for (; i + 8 <= n; i += 8)
        mix(load(p + i, std::uint64_t{}));
      if (i < n) mix(load(p + n - 8, std::uint64_t{}));  // the last bytes, overlapping
    } else if (n >= 4) {
      mix(load(p, std::uint32_t{}) | load(p + n - 4, std::uint32_t{}) << 32);
    } else if (n > 0) {
      mix(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) << 8 |
          static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16);
    }
    h *= 0x94d049bb133111ebu;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  // Whether the slot holds `text`, whose hash is `h`: the text is read only when the hashes agree.
  template <class TextAt>
  static bool holds(const TextAt& text_at, const Slot& s, std::uint32_t h, std::string_view text) {
    return s.at != kEmpty && s.hash == h && text::same_bytes(text_at(s.at), text);
  }

  // The slot holding `text`, or the empty slot where it would go.
  template <class TextAt>
  std::size_t probe(const TextAt& text_at, std::uint32_t h, std::string_view text) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.at == kEmpty || holds(text_at, s, h, text)) return i;
    }
  }

  void rebuild(std::size_t size) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    const std::size_t mask = size - 1;
    for (const Slot& s : old) {
      if (s.at == kEmpty) continue;
      std::size_t i = s.hash & mask;
      while (slots_[i].at != kEmpty)
        i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  static constexpr std::size_t kRecentMask = 4095;

  std::vector<Slot> slots_;  // a power of two in size
  std::size_t used_ = 0;
  mutable std::array<Slot, kRecentMask + 1> recent_{};
};

}  // namespace

struct Trades::Kept {
  TextArena texts;
  TextIndex ids;  // positions in the fold
  std::vector<const char*> labels;
  TextIndex label_index;  // positions in `labels`
};

const char* Trades::label(std::string_view text) {
  auto& labels = kept_->labels;
  const auto label_at = [&labels](std::size_t i) { return Trade::text(labels[i]); };
  if (const auto at = kept_->label_index.find_or_add(label_at, text, labels.size()))
    return labels[*at];
  return labels.emplace_back(kept_->texts.add(text));
}

Trades::Trades() : kept_(std::make_unique<Kept>()) {}
Trades::~Trades() = default;
// A fold moved from is left empty, ready to fold afresh.
Trades::Trades(Trades&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      size_(std::exchange(other.size_, 0)),
      kept_(std::move(other.kept_)),
      latest_halt_(std::exchange(other.latest_halt_, std::nullopt)),
      last_halt_(std::exchange(other.last_halt_, std::nullopt)),
      read_through_(std::exchange(other.read_through_, 0)),
      owner_refusals_(std::exchange(other.owner_refusals_, {})) {
  other.chunks_.clear();
}
Trades& Trades::operator=(Trades&& other) noexcept {
  chunks_ = std::move(other.chunks_);
  size_ = std::exchange(other.size_, 0);
  kept_ = std::move(other.kept_);
  latest_halt_ = std::exchange(other.latest_halt_, std::nullopt);
  last_halt_ = std::exchange(other.last_halt_, std::nullopt);
  read_through_ = std::exchange(other.read_through_, 0);
  owner_refusals_ = std::exchange(other.owner_refusals_, {});
  other.chunks_.clear();
  return *this;
}

void Trades::add(const Event& event, std::uint64_t line_start) {
  if (!kept_) kept_ = std::make_unique<Kept>();  // moved from
  if (const OpenEntry* entry = event.open()) {
    open(*entry);
  } else if (const CloseEntry* close = event.close()) {
    if (Trade* t = latest_of(close->id)) t->realized_pnl_ = close->realized_pnl;
  } else if (const FillEntry* fill = event.fill()) {
    if (Trade* t = latest_of(fill->id)) {
      t->status_ = label(fill->status);
      t->filled_qty_ = fill->filled_qty;
      t->intended_qty_ = fill->intended_qty;
    }
  } else if (const HaltEntry* halt = event.halted()) {
    if (!latest_halt_ || halt->at >= latest_halt_->at) latest_halt_ = *halt;
    last_halt_ = JournalledHalt{*halt, line_start};
  } else if (const RefusedEntry* no = event.refused();
             no && no->denied_fingerprint && no->denied_until) {
    owner_refusals_.push_back({*no->denied_fingerprint, *no->denied_until, line_start});
  }
}

void Trades::open(const OpenEntry& entry) {
  if ((size_ >> kChunkBits) == chunks_.size())
    chunks_.emplace_back(std::make_unique<Trade[]>(kChunkMask + 1));
  // A new id's place in a large index is rarely in the cache: it is fetched while the labels
  // are looked up.
  const std::uint32_t hash = kept_->ids.prefetch(entry.id);
  const char* symbol = label(entry.symbol);
  const char* structure = label(entry.structure);
  const char* by = label(entry.by);
  if (kept_->ids.find_or_add(ids(), entry.id, size_, hash)) return;  // the first open wins
  Trade& t = at(size_++);
  t = Trade{};
  t.id_ = kept_->texts.add(entry.id);
  t.at_ = entry.at;
  t.symbol_ = symbol;
  t.structure_ = structure;
  t.by_ = by;
  const double none = std::numeric_limits<double>::quiet_NaN();
  t.iv_rank_ = entry.iv_rank.value_or(none);
  t.qty_ = entry.qty.value_or(none);
  t.max_loss_ = entry.max_loss.value_or(none);
  if (entry.exit && entry.closes) {
    // Usually the id of a trade already folded: its text is shared.
    const Trade* target = find(*entry.closes);
    t.closes_ = target ? target->id_ : kept_->texts.add(*entry.closes);
  } else if (entry.exit) {
    t.closes_ = Trade::kNoTarget;
  }
}

const Trade* Trades::find(std::string_view id) const {
  if (!kept_) return nullptr;
  const auto at = kept_->ids.find(ids(), id);
  return at ? &(*this)[*at] : nullptr;
}

Trade* Trades::latest_of(std::string_view id) {
  return const_cast<Trade*>(find(id));
}

void Trades::reindex() {
  if (!kept_) return;
  kept_->ids.clear();
  for (std::size_t i = 0; i < size_; ++i)
    kept_->ids.find_or_add(ids(), (*this)[i].id(), i);
}

Trades Journal::trades(Refusals refusals) const {
  using namespace journal_format;
  // What `Trades::add` reads of each line; the other values are only checked.
  constexpr KeyMask kRead =
      key_bit(Key::Id) | key_bit(Key::At) | key_bit(Key::Symbol) | key_bit(Key::Structure) |
      key_bit(Key::By) | key_bit(Key::IvRank) | key_bit(Key::Qty) | key_bit(Key::MaxLoss) |
      key_bit(Key::Exit) | key_bit(Key::Closes) | key_bit(Key::RealizedPnl) | key_bit(Key::Status) |
      key_bit(Key::FilledQty) | key_bit(Key::IntendedQty) | key_bit(Key::Kind) |
      key_bit(Key::Reason) | key_bit(Key::Equity) | key_bit(Key::HighWater) |
      key_bit(Key::DeniedFingerprint) | key_bit(Key::DeniedUntil);
  Trades trades;
  LineSource lines(path_);
  // Halted lines are few; reading them here spares the one reader who needs them a second pass.
  // Refused lines are many, and only `ask` needs the owner's among them.
  KindMask wanted = kinds<OpenEntry, CloseEntry, FillEntry, HaltEntry>();
  if (refusals == Refusals::Read) wanted |= kinds<RefusedEntry>();
  LineReader reader(wanted, kRead);
  while (const auto line = lines.next())
    if (const Event* event = reader.read(*line)) trades.add(*event, lines.line_start());
  if (lines.failed()) return {};
  trades.read_through_ = lines.through();
  return trades;
}

Trades Journal::open_trades(Refusals refusals) const {
  Trades open = trades(refusals);
  open.retain([](const Trade& t) { return t.holds_position(); });
  return open;
}

std::vector<ExitGap> Journal::exits_awaiting_close() const {
  return vavev_aziz::exits_awaiting_close(trades());
}

std::vector<ExitGap> exits_awaiting_close(const Trades& trades) {
  std::vector<ExitGap> gaps;
  for (const Trade& t : trades) {
    if (!t.exit() || !t.fill() || !t.placed()) continue;
    const auto closes = t.closes();
    if (closes) {
      const Trade* target = trades.find(*closes);
      if (!target || target->closed()) continue;
    }
    gaps.push_back(ExitGap{std::string(t.id()), std::string(t.symbol()),
                           closes ? std::optional<std::string>(*closes) : std::nullopt, t.at(),
                           closes.has_value()});
  }
  return gaps;
}

}  // namespace vavev_aziz
