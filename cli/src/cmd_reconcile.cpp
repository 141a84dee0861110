// `reconcile`: asks the broker what became of the journalled orders that still await it and
// journals a fill for each one it has resolved.
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

  const auto done = vz::reconcile(journal, *statuses, vz::platform::now_seconds());
  const auto still = vz::awaiting_reconciliation(journal);
  if (has(args, "--json")) {
    vz::json::Json o = vz::json::Json::object();
    o["reconciled"] = done;
    o["still_awaiting"] = still;
    io.out << vz::json::pretty(o) << '\n';
    return Exit::Ok;
  }
  io.out << fmt::format("reconciled {} order(s); {} still working\n", done.size(), still.size());
  for (const auto& id : done)
    io.out << "  done     " << id << '\n';
  for (const auto& id : still)
    io.out << "  working  " << id << '\n';
  return Exit::Ok;
}

}  // namespace trade
