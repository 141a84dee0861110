// `reconcile`: asks the broker what became of the journalled orders that still await it and
// journals a fill for each one it has resolved.
#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/pipeline.hpp"
#include "vavev_aziz/support/json_write.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

namespace vz = vavev_aziz;

}  // namespace

Exit cmd_reconcile(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);

  // Nothing to ask about: no credentials are needed and no request is made.
  const auto awaiting = vz::awaiting_reconciliation(journal);
  if (awaiting.empty()) {
    io.out << "nothing awaiting reconciliation\n";
    return Exit::Ok;
  }
  auto client = vz::alpaca::Client::from_environment();
  if (!client) return fail(io.err, client.error().display());
  auto statuses = client->orders_by_client_ids(awaiting);
  if (!statuses) return fail(io.err, statuses.error().display());

  const auto [done, unwritten] = vz::reconcile(journal, *statuses, vz::platform::now_seconds());
  // An order whose end the broker reported but the journal could not take is not working: it
  // is warned about instead, and the command fails, as that end is not recorded until a later
  // run records it.
  std::vector<std::string> still;
  for (auto& id : vz::awaiting_reconciliation(journal))
    if (std::none_of(unwritten.begin(), unwritten.end(),
                     [&id](const auto& u) { return u.first == id; }))
      still.push_back(std::move(id));
  for (const auto& [id, error] : unwritten)
    io.err << fmt::format(
        "tovra trade: WARNING: journal write FAILED ({}): {} \u2014 what the broker reported of "
        "{} is not recorded; run reconcile again\n",
        path->string(), error.message(), id);
  const Exit exit = unwritten.empty() ? Exit::Ok : Exit::Error;
  if (has(args, "--json")) {
    vz::json::Json o = vz::json::Json::object();
    o["reconciled"] = done;
    o["still_awaiting"] = still;
    io.out << vz::json::pretty(o) << '\n';
    return exit;
  }
  io.out << fmt::format("reconciled {} order(s); {} still working\n", done.size(), still.size());
  for (const auto& id : done)
    io.out << "  done     " << id << '\n';
  for (const auto& id : still)
    io.out << "  working  " << id << '\n';
  return exit;
}

}  // namespace trade
