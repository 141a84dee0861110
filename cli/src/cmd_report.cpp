// `report`: the read-only look back over the account's journal, as text or JSON.
#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "report.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {

Exit cmd_report(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vavev_aziz::Journal journal(*path);
  // Only the text form lists ages, so only it reads the clock.
  io.out << (has(args, "--json") ? report_json(journal)
                                 : report_text(journal, vavev_aziz::platform::now_seconds()));
  return Exit::Ok;
}

}  // namespace trade
