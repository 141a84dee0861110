// `check`: what the rule table would decide for one order right now. It builds the live
// context and the order exactly as `ask` does, applies the equity rule and evaluates the rule
// table; nothing is sent, journalled or remembered, and the owner is not asked.
#include <string>

#include "commands.hpp"
#include "live_context.hpp"
#include "order_builder.hpp"
#include "order_options.hpp"
#include "paths.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/support/json_write.hpp"

namespace trade {
namespace {

namespace json = vavev_aziz::json;
using vavev_aziz::Decision;

json::Json to_json(const Decision& d) {
  json::Json o = json::Json::object();
  if (const auto* allow = d.allow()) {
    o["decision"] = "allowed";
    o["rule"] = allow->rule;
    o["client_order_id"] = allow->client_order_id;
    o["granted_by"] = vavev_aziz::word(allow->granted_by);
  } else if (const auto* ask = d.ask()) {
    o["decision"] = "ask";
    o["rule"] = ask->rule;
    o["ttl_secs"] = ask->ttl.secs;
    o["question"] = ask->question;
    o["client_order_id"] = ask->client_order_id;
  } else if (const auto* deny = d.deny()) {
    o["decision"] = "denied";
    o["rule"] = deny->rule;
    o["reason"] = deny->reason;
  }
  return o;
}

// "by" starts in the tenth column after each decision word.
void print_text(const Decision& d, const vavev_aziz::Order& order, std::ostream& out) {
  if (const auto* allow = d.allow()) {
    out << "ALLOWED  by '" << allow->rule << "'\n"
        << "  order  " << order.summary() << "\n"
        << "  id     " << allow->client_order_id << "\n";
  } else if (const auto* ask = d.ask()) {
    const auto ttl = std::to_string(ask->ttl.secs);
    out << "ASK      by '" << ask->rule << "' \u2014 " << ttl << "s to answer\n"
        << "  question  " << ask->question << "\n"
        << "  id        " << ask->client_order_id << "\n"
        << "\n"
        << "  next: imsg approve \"" << ask->question << "\" --timeout " << ttl << "\n";
  } else if (const auto* deny = d.deny()) {
    out << "DENIED   by '" << deny->rule << "'\n"
        << "  " << deny->reason << "\n"
        << "\n"
        << "  nothing promotes a denial \u2014 edit the rule table if this is wrong\n";
  }
}

Exit exit_code(const Decision& d) {
  if (d.allow()) return Exit::Ok;
  if (d.ask()) return Exit::RuleAsks;
  return Exit::Denied;
}

}  // namespace

Exit cmd_check(const Args& args, Io io) {
  const auto options = read_order_options(args, "check", io.err);
  if (!options) return options.error();
  const auto proposal = prepare_proposal(*options, false, io.err);
  if (!proposal) return proposal.error();
  const auto& [live, order, gate, legs_loss] = *proposal;
  const Decision decision = gate.evaluate(order, live.equity, live.paper);
  if (options->json)
    io.out << json::pretty(to_json(decision)) << '\n';
  else
    print_text(decision, order, io.out);
  return exit_code(decision);
}

}  // namespace trade
