// The journal's line reader: the parsers of a line in the order they are tried, and the events
// of a whole journal.
#include "journal_reader.hpp"

#include "vavev_aziz/journal.hpp"

namespace vavev_aziz::journal_format {

LineReader::LineReader(KindMask wanted, KeyMask kept) : wanted_(wanted), entries_(wanted, kept) {}

// The parsers in the order they are tried, the fastest first. Most lines are in the writer's
// own layout, which the DOM parser's result fills the entry from without looking a key up or
// collecting slots; the walk takes every line the DOM parser leaves, and its answer stands.
const Event* LineReader::read(std::string_view line) {
  // A byte order mark may open a line (an editor may have written one), as JSON readers allow.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  const auto kind = kind_from_start(line);
  if (kind && !(wanted_ & (1u << *kind))) return nullptr;
  if (dom_.parse(line)) {
    if (kind)
      if (const Event* event = dom_.writer_layout(*kind, entries_)) return event;
    if (const Parsed p = dom_.any_layout(slots_); p != Parsed::NotMine) return entry(p);
  }
  return entry(walk_.read(line, slots_));
}

const Event* LineReader::entry(Parsed parsed) {
  return parsed == Parsed::Slots ? entries_.build(slots_.values, slots_.array) : nullptr;
}

}  // namespace vavev_aziz::journal_format

namespace vavev_aziz {

std::vector<Event> Journal::events() const {
  using namespace journal_format;
  std::vector<Event> events;
  LineSource lines(path_);
  LineReader reader(kAllKinds);
  while (const auto line = lines.next())
    if (const Event* event = reader.read(*line)) events.push_back(*event);
  if (lines.failed()) return {};
  return events;
}

}  // namespace vavev_aziz
