// What `ask` tells its caller: the proposal's outcome, what became of an approved order at the
// wire, one line of guidance for the proposing agent, as an aligned text block (with the halt
// banner) or as one JSON object; and the exit code of each outcome.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "run.hpp"
#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/order.hpp"
#include "vavev_aziz/pipeline.hpp"

namespace trade {

// What became of an approved order at the wire: the broker's acknowledgement, or the reason
// it was not placed (held back on purpose, or the broker client's error text).
struct Placement {
  std::optional<vavev_aziz::alpaca::Placed> placed;
  std::optional<std::string> error;
};

// Everything the output of one `ask` run is made of.
struct AskResult {
  vavev_aziz::Outcome outcome;
  Placement placement;  // meaningful for a submit only
  bool halted = false;  // the risk state holds a halt after the proposal
};

enum class Form { Text, Json };

// The guidance for the proposing agent: for a submit whether it went out, for a refusal the
// pipeline's own guidance, for a parked proposal that it waits for the owner.
std::string agent_text(const AskResult& result);

// Writes the result block for `order` (the order as proposed, for its summary line). The text
// form ends with the halt banner when `halted`; the JSON form carries `halted` as a key instead.
void print_ask_result(const AskResult& result, const vavev_aziz::Order& order, Form form,
                      std::ostream& out);

// Ok for a submit (sent or not), Refused for a refusal, Parked for a parked proposal.
Exit ask_exit_code(const vavev_aziz::Outcome& outcome);

}  // namespace trade
