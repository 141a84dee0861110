#include "ask_output.hpp"

#include "vavev_aziz/support/json_write.hpp"

namespace trade {
namespace {

namespace json = vavev_aziz::json;
using vavev_aziz::Outcome;

constexpr std::string_view kParkedAgent =
    "STAGED for the owner's approval \u2014 it is not a refusal and not a submission. You are done "
    "with it; do not re-propose it.";

json::Json to_json(const AskResult& r, const std::string& agent) {
  json::Json o = json::Json::object();
  if (const auto* submit = r.outcome.submit()) {
    const auto& placed = r.placement.placed;
    o["outcome"] = "submit";
    o["stage"] = "submit";
    o["client_order_id"] = submit->ticket.client_order_id;
    o["broker_order_id"] = json::text_or_null(placed ? std::optional(placed->id) : std::nullopt);
    o["broker_status"] = json::text_or_null(placed ? std::optional(placed->status) : std::nullopt);
    o["placement_error"] = json::text_or_null(r.placement.error);
  } else if (const auto* refused = r.outcome.refused()) {
    o["outcome"] = "refused";
    o["stage"] = refused->stage;
    o["verdict"] = refused->verdict;
    o["reason"] = refused->reason;
  } else if (const auto* parked = r.outcome.parked()) {
    o["outcome"] = "parked";
    o["stage"] = "operator";
    o["verdict"] = "parked";
    o["rule"] = parked->rule;
    o["question"] = parked->question;
  }
  o["agent_feedback"] = agent;
  o["halted"] = r.halted;
  return o;
}

void print_text(const AskResult& r, const vavev_aziz::Order& order, const std::string& agent,
                std::ostream& out) {
  if (const auto* submit = r.outcome.submit()) {
    out << "SUBMIT   " << order.summary() << "\n"
        << "  id     " << submit->ticket.client_order_id << "\n";
    if (const auto& placed = r.placement.placed)
      out << "  broker " << placed->id << " \u2014 " << placed->status << "\n";
    if (const auto& error = r.placement.error) out << "  NOT PLACED: " << *error << "\n";
  } else if (const auto* refused = r.outcome.refused()) {
    out << "REFUSED  at " << refused->stage << " [" << refused->verdict << "]\n"
        << "  " << refused->reason << "\n";
  } else if (const auto* parked = r.outcome.parked()) {
    out << "PARKED   awaiting the owner's approval\n"
        << "  rule   " << parked->rule << "\n"
        << "  " << parked->question << "\n";
  }
  out << "\n  to the agent: " << agent << "\n";
  if (r.halted)
    out << "\n  ** ACCOUNT IS HALTED \u2014 only a human at the machine can clear it **\n";
}

}  // namespace

std::string agent_text(const AskResult& r) {
  if (r.outcome.submit()) {
    if (r.placement.error) return "approved, but NOT SENT: " + *r.placement.error;
    return "approved \u2014 submitting";
  }
  if (const auto* refused = r.outcome.refused()) return refused->agent_feedback;
  return std::string(kParkedAgent);
}

void print_ask_result(const AskResult& result, const vavev_aziz::Order& order, Form form,
                      std::ostream& out) {
  const std::string agent = agent_text(result);
  if (form == Form::Json)
    out << json::pretty(to_json(result, agent)) << '\n';
  else
    print_text(result, order, agent, out);
}

Exit ask_exit_code(const Outcome& outcome) {
  if (outcome.submit()) return Exit::Ok;
  if (outcome.refused()) return Exit::Refused;
  return Exit::Parked;
}

}  // namespace trade
