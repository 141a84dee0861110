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

int broker_failed(const vz::alpaca::AlpacaError& error, Io io) {
  io.err << "tovra trade: " << error.display() << '\n';
  return 3;
}

}  // namespace

int cmd_reconcile(const Args& args, Io io) {
  const auto path = state_path("journal.jsonl");
  if (!path) return no_path(io.err, path.error());
  const vz::Journal journal(*path);

  // Nothing to ask about: no credentials are needed and no request is made.
  const auto awaiting = vz::awaiting_reconciliation(journal);
  if (awaiting.empty()) {
    io.out << "nothing awaiting reconciliation\n";
    return 0;
  }
  auto client = vz::alpaca::Client::from_environment();
  if (!client) return broker_failed(client.error(), io);
  auto statuses = client->orders_by_client_ids(awaiting);
  if (!statuses) return broker_failed(statuses.error(), io);

  const auto done = vz::reconcile(journal, *statuses, vz::platform::now_seconds());
  const auto still = vz::awaiting_reconciliation(journal);
  if (has(args, "--json")) {
    vz::json::Json o = vz::json::Json::object();
    o["reconciled"] = done;
    o["still_awaiting"] = still;
    io.out << vz::json::pretty(o) << '\n';
    return 0;
  }
  io.out << fmt::format("reconciled {} order(s); {} still working\n", done.size(), still.size());
  for (const auto& id : done)
    io.out << "  done     " << id << '\n';
  for (const auto& id : still)
    io.out << "  working  " << id << '\n';
  return 0;
}

}  // namespace trade
