// The ask command end to end: what happens to an approved order at the wire, refusals and the
// owner's remembered "no", halts and their banner, the parked output, the proposal's inputs as
// journalled, what stops it before the pipeline, and damaged state files.
#include <algorithm>
#include <regex>

#include "ask_output.hpp"
#include "harness.hpp"
#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/risk.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade::testing {
namespace {

using tovra::testing::Json;
using tovra::testing::Reply;

std::string without_ids(const std::string& text) {
  return std::regex_replace(text, std::regex("tovra-[0-9a-f-]{36}"), "ID");
}

// The keys of a JSON object, in order, with the values of those that are not texts.
std::string shape(const Json& object) {
  std::string keys;
  for (const auto& [key, value] : object.items()) {
    keys += key;
    if (!value.is_string()) {
      keys += '=';
      keys += value.dump();
    }
    keys += ' ';
  }
  return keys;
}

const std::string kHeader = "SUBMIT   BUY equity AAPL $300.00 (opening)\n  id     ID\n";

class Ask : public BrokerScratch {
 protected:
  void SetUp() override {
    BrokerScratch::SetUp();
    broker.set_trade("AAPL", 150.25);
    write_text(config(), R"([
      {"name": "exits", "when": ["reduces_risk"], "posture": "allow"},
      {"name": "no-bad", "when": [{"symbol_in": ["BAD"]}], "posture": "deny"},
      {"name": "options", "when": [{"asset_class_is": "option"}], "posture": "ask", "ttl_secs": 60},
      {"name": "small", "when": [{"notional_under": 1000}], "posture": "allow"}])");
  }
  Ran ask(Args args) {
    args.insert(args.begin(), "ask");
    return run(args);
  }
  std::vector<Json> journal() {
    std::vector<Json> lines;
    std::istringstream in(slurp(state("journal.jsonl")));
    for (std::string line; std::getline(in, line);)
      lines.push_back(Json::parse(line));
    return lines;
  }
  // An owner channel that logs each question and answers with exit status `status`.
  void imsg(int status) {
    fake_program("imsg", "echo \"$@\" >> " + (home() / "imsg.log").string() + "\nexit " +
                             std::to_string(status));
  }
};

TEST_F(Ask, SubmitSendsTheApprovedOrderOrSaysWhyNot) {
  const auto refuse = [&] { broker.reply("POST", "/v2/orders", {422, R"({"message":"no"})"}); };
  const struct {
    Args more;
    std::function<void()> setup;
    std::string not_placed;  // how the placement error begins; empty when the order went out
    bool unplaced;           // journalled as never created
  } cases[] = {
      // clang-format off
      {{}, [] {}, "", false},
      {{}, refuse, R"(alpaca 422: {"message":"no"})", true},
      {{}, [&] { unset("ALPACA_API_KEY"); }, "no Alpaca credentials \u2014 set", false},
      {{"--dry-run"}, [] {}, "--dry-run: approved and journalled, not sent", false},
      {{"--dry-run", "--offline"}, [] {}, "--offline: approved and journalled, not sent \u2014 "
                                          "nothing in this run contacted the broker", false},
      {{"--offline", "--verdict", "approved"}, [] {}, "--verdict: a canned operator answer is "
                               "never sent to the broker (approved and journalled only)", false},
      // The broker may have created an order it answered for unreadably: it stays awaiting.
      {{}, [&] { broker.reply("POST", "/v2/orders", {200, "<html>"}); },
       "alpaca response was not the shape we expected: ", false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.not_placed);
    fs::remove(state("journal.jsonl"));
    c.setup();
    Args args{"--symbol", "AAPL",       "--qty", "2",        "--limit",
              "150",      "--notional", "300",   "--equity", "100000"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    auto r = ask(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    std::smatch m;
    std::regex_search(r.out, m, std::regex("NOT PLACED: (.*)\n"));
    const std::string error = m[1];
    EXPECT_TRUE(error.starts_with(c.not_placed)) << r.out;
    EXPECT_EQ(without_ids(r.out),
              kHeader + (error.empty()
                             ? "  broker 61e69015-8549-4bfd-b9c3-01e75843f47d-1 \u2014 "
                               "accepted\n\n  to the agent: approved \u2014 submitting\n"
                             : "  NOT PLACED: " + error +
                                   "\n\n  to the agent: approved, but NOT SENT: " + error + "\n"));
    const auto lines = journal();
    ASSERT_EQ(lines.size(), c.unplaced ? 2u : 1u);
    const std::string id = lines[0]["id"];
    if (error.empty()) {
      EXPECT_EQ(broker.orders().back().dump(),
                R"({"symbol":"AAPL","side":"buy","type":"limit","time_in_force":"day",)"
                R"("client_order_id":")" +
                    id + R"(","qty":"2","limit_price":"150"})");
    }
    if (c.unplaced) {
      EXPECT_EQ(lines[1].dump().substr(lines[1].dump().find("\"status\"")),
                R"("status":"rejected","filled_qty":0.0,"intended_qty":2.0,"avg_price":null,)"
                R"("actual_credit":null,"note":"REFUSED AT THE WIRE, never created: )"
                R"(alpaca 422: {\"message\":\"no\"}"})");
    }
    set("ALPACA_API_KEY", "AKTESTKEY");
  }
  EXPECT_EQ(broker.orders().size(), 3u);  // placed, refused, answered unreadably
}

TEST_F(Ask, ARedirectedOrderIsNeitherFollowedNorCalledUnplaced) {
  // The broker may have taken the order before redirecting: sending it again, or reading the
  // other address as its fate, could double it or lose track of it.
  for (const int status : {301, 302, 303, 307, 308, 0}) {  // 0: a 302 without a Location
    SCOPED_TRACE(status);
    fs::remove(state("journal.jsonl"));
    Reply redirect(status == 0 ? 302 : status, R"({"id":"x","status":"accepted"})");
    if (status != 0) redirect.headers = {{"Location", "/v2/orders/moved"}};
    broker.reply("POST", "/v2/orders", redirect);
    const auto before = broker.requests().size();
    auto r = ask({"--symbol", "AAPL", "--qty", "2", "--limit", "150", "--notional", "300"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("  NOT PLACED: alpaca transport: the broker answered the order with a "
                         "redirect (" +
                         std::to_string(redirect.status) + ")"),
              std::string::npos)
        << r.out;
    const auto requests = broker.requests();
    int posts = 0;
    for (auto it = requests.begin() + static_cast<std::ptrdiff_t>(before); it != requests.end();
         ++it) {
      posts += it->method == "POST";
      EXPECT_NE(it->path, "/v2/orders/moved");
    }
    EXPECT_EQ(posts, 1);
    const auto lines = journal();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "open");
  }
}

TEST_F(Ask, RefusalsAreJournalledAndTheOwnersNoIsRemembered) {
  auto deny = ask({"--symbol", "BAD", "--notional", "500"});
  const std::string reason = "rule 'no-bad' denies BUY equity BAD $500.00 (opening)";
  EXPECT_EQ(deny.code, 1);
  EXPECT_EQ(deny.out, "REFUSED  at gate [denied]\n  " + reason +
                          "\n\n  to the agent: The rule table DENIES this: " + reason +
                          ". Nothing promotes a denial \u2014 it was not put to the operator. "
                          "Propose something materially different.\n");
  EXPECT_EQ(journal().back()["gate_rule"], "no-bad");

  imsg(1);
  const Args option{"--symbol", "SPY261218C00500000", "--class", "option", "--notional", "500"};
  auto no = ask(option);
  EXPECT_EQ(no.code, 1);
  EXPECT_TRUE(no.out.starts_with("REFUSED  at operator [denied]\n")) << no.out;
  EXPECT_NE(slurp(state("denials.json")).find("\"SPY261218C00500000|option|buy|open|b5\""),
            std::string::npos);
  auto again = ask(option);
  EXPECT_EQ(again.code, 1);
  EXPECT_TRUE(again.out.starts_with("REFUSED  at memory [denied_from_memory]\n")) << again.out;
  EXPECT_EQ(slurp(home() / "imsg.log"),
            "approve BUY option SPY261218C00500000 $500.00 (opening) [options] --timeout 60\n");

  // "--verdict" standing last is a rehearsal with its word forgotten: refused, never sent.
  imsg(0);
  const Args qqq{"--symbol", "QQQ261218C00400000", "--class", "option", "--notional", "500"};
  const std::size_t lines = journal().size();
  auto forgot = ask(qqq + Args{"--verdict"});
  EXPECT_EQ(forgot.code, 3);
  EXPECT_TRUE(forgot.err.starts_with("tovra trade ask: --verdict needs a value\n")) << forgot.err;
  EXPECT_EQ(journal().size(), lines);
  EXPECT_TRUE(broker.orders().empty());
  auto yes = ask(qqq);
  EXPECT_EQ(yes.code, 0);
  EXPECT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(journal().back()["approved_by"], "operator");
}

// The journal keeps the owner's no: it binds after a save of the denial memory failed, or after
// a run whose clock was ahead dropped it, until its window ends or `memory --forget` forgets
// it, and a forget stays so.
TEST_F(Ask, AnOwnersNoOutlivesALostSaveUntilItsWindowEndsOrIsForgotten) {
  imsg(1);
  const Args option{"--symbol", "SPY261218C00500000", "--class",  "option", "--notional",
                    "500",      "--offline",          "--equity", "100000"};
  const auto asked = [&] {
    const std::string log = slurp(home() / "imsg.log");
    return std::count(log.begin(), log.end(), '\n');
  };
  const auto outcome = [&] { return ask(option).out.substr(0, 30); };
  const std::string from_memory = "REFUSED  at memory [denied_fro";
  const std::string from_owner = "REFUSED  at operator [denied]\n";

  fs::create_directories(state("denials.json.lock"));  // every save of the memory fails
  auto no = ask(option);
  EXPECT_NE(no.err.find("WARNING: denial memory not persisted"), std::string::npos) << no.err;
  EXPECT_EQ(outcome(), from_memory);
  EXPECT_EQ(asked(), 1);
  EXPECT_NE(run({"memory"}).out.find("SPY261218C00500000|option|buy|open|b5   240 min left"),
            std::string::npos);
  // Its window is the one it was journalled with: once over, the owner is asked again.
  const std::string journal = slurp(state("journal.jsonl"));
  write_text(
      state("journal.jsonl"),
      std::regex_replace(journal, std::regex(R"("denied_until":[0-9.]+)"), R"("denied_until":1)"));
  EXPECT_EQ(outcome(), from_owner);
  EXPECT_EQ(asked(), 2);
  fs::remove(state("denials.json.lock"));

  // A run whose clock was ahead left the memory without it: it binds all the same.
  write_text(state("denials.json"), R"({"entries": {}})");
  EXPECT_EQ(outcome(), from_memory);
  // Forgotten, it stays forgotten: the owner is asked again, and that no binds anew.
  EXPECT_EQ(run({"memory", "--forget"}).code, 0);
  EXPECT_EQ(outcome(), from_owner);
  EXPECT_EQ(outcome(), from_memory);
  EXPECT_EQ(asked(), 3);
}

TEST_F(Ask, AHaltRaisedByTheProposalIsBannered) {
  write_text(state("risk.json"), R"({"high_water": 200000.0})");
  const std::string reason =
      "drawdown 50.0% reached the 10.0% limit (equity 100000.00 vs high-water 200000.00)";
  const std::string banner =
      "\n  ** ACCOUNT IS HALTED \u2014 only a human at the machine can clear it **\n";
  auto text = ask({"--symbol", "AAPL", "--notional", "500"});
  EXPECT_EQ(text.code, 1);
  EXPECT_EQ(text.out, "REFUSED  at halt [risk_halted]\n  " + reason +
                          "\n\n  to the agent: TRADING IS HALTED: " + reason +
                          ". Opens are refused until a human clears the halt at the machine. "
                          "Closing existing positions is still allowed. Do not attempt to work "
                          "around this and do not keep proposing.\n" +
                          banner);
  const auto lines = journal();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["event"], "halted");
  EXPECT_NE(slurp(state("risk.json")).find(reason), std::string::npos);

  auto json = ask({"--symbol", "AAPL", "--notional", "500", "--json"});
  EXPECT_EQ(json.code, 1);
  const Json refused = Json::parse(json.out);
  EXPECT_EQ(shape(refused), "outcome stage verdict reason agent_feedback halted=true ");
  EXPECT_EQ(refused["stage"], "halt");
  EXPECT_EQ(json.out.find("HALTED \u2014"), std::string::npos);

  // Getting out still works while halted, under the banner.
  broker.set_positions(Json::array({{{"symbol", "AAPL"}, {"qty", "10"}}}));
  auto exit = ask(
      {"--symbol", "AAPL", "--side", "sell", "--qty", "5", "--limit", "150", "--notional", "750"});
  EXPECT_EQ(exit.code, 0);
  EXPECT_TRUE(exit.out.ends_with("submitting\n" + banner)) << exit.out;
}

// A halt journalled by a run that could not save it stands for every later run until a person
// clears it, whether a later run or `resume` is the first to find it in the journal.
TEST_F(Ask, AHaltWhoseSaveFailedStandsUntilResume) {
  fake_program("kestrin", "exit 0");
  write_text(state("risk.json"), R"({"high_water": 100000.0})");
  const auto ask_at = [&](const char* equity) {
    return ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", equity});
  };
  const auto halt_unsaved = [&](const char* equity) {
    fs::remove(state("risk.json.lock"));
    fs::create_directory(state("risk.json.lock"));  // the save cannot take its lock
    const auto halted = ask_at(equity);
    EXPECT_EQ(halted.code, 1);
    fs::remove(state("risk.json.lock"));
    return halted.err;
  };
  const std::string stands =
      " \u2014 a halt stands all the same: the journal keeps it until `tovra-trade resume`\n";

  EXPECT_TRUE(halt_unsaved("89000").ends_with(stands));
  auto later = ask_at("95000");  // 5% below the high-water mark: no new halt
  EXPECT_EQ(later.code, 1);
  EXPECT_TRUE(later.out.starts_with("REFUSED  at halt [risk_halted]\n")) << later.out;
  EXPECT_TRUE(std::regex_match(
      later.err, std::regex("tovra trade: NOTE: the journal holds a drawdown halt of day [0-9]+ "
                            "[0-9:]+Z that the risk state does not; it stands until a person "
                            "clears it with `tovra-trade resume`\n")))
      << later.err;
  EXPECT_TRUE(vavev_aziz::read_risk_state(slurp(state("risk.json")))->halt);
  EXPECT_EQ(run({"resume"}).code, 0);
  auto resumed = ask_at("95000");
  EXPECT_EQ(resumed.code, 0) << resumed.out;
  EXPECT_EQ(resumed.err, "");

  halt_unsaved("85000");
  auto cleared = run({"resume"});
  EXPECT_EQ(cleared.code, 0);
  EXPECT_TRUE(cleared.out.ends_with("cleared the drawdown halt \u2014 trading may resume\n"));
  EXPECT_EQ(ask_at("95000").code, 0);

  // What a resume cleared is a place in the journal, not a time. A halt raised by a run whose
  // clock was two days ahead, once resumed, hides no later halt; and a halt written after a
  // resume stands though stamped before it (a run that began before the resume, or whose
  // clock is behind, and whose save failed).
  const double now = vavev_aziz::platform::now_seconds();
  const auto halt_line = [](double at) {
    return R"({"event":"halted","at":)" + std::to_string(at) +
           R"(,"kind":"drawdown","reason":"r","equity":85000,"high_water":100000})" + "\n";
  };
  std::ofstream(state("journal.jsonl"), std::ios::app) << halt_line(now + 2 * 86400);
  EXPECT_EQ(run({"resume"}).code, 0);
  halt_unsaved("85000");
  EXPECT_EQ(ask_at("95000").code, 1);
  EXPECT_EQ(run({"resume"}).code, 0);
  std::ofstream(state("journal.jsonl"), std::ios::app) << halt_line(now - 3600);
  EXPECT_EQ(ask_at("95000").code, 1);
  EXPECT_EQ(run({"resume"}).code, 0);
  EXPECT_EQ(ask_at("95000").code, 0);

  // Only a halt that neither file could take is lost with its run, and the warning says so.
  fs::remove(state("journal.jsonl"));
  fs::create_directory(state("journal.jsonl"));
  EXPECT_TRUE(halt_unsaved("85000").ends_with(
      " \u2014 the halt this run raised is not in the journal either: it will not outlast this "
      "run\n"));
}

TEST(AskOutput, ParkedWaitsForTheOwner) {
  AskResult parked{{vavev_aziz::Outcome::Parked{"options", "BUY option SPY? [options]"}}, {}, true};
  const std::string agent =
      "STAGED for the owner's approval \u2014 it is not a refusal and not a submission. You are "
      "done with it; do not re-propose it.";
  std::ostringstream text, json;
  print_ask_result(parked, {}, Form::Text, text);
  print_ask_result(parked, {}, Form::Json, json);
  EXPECT_EQ(text.str(),
            "PARKED   awaiting the owner's approval\n  rule   options\n  BUY option "
            "SPY? [options]\n\n  to the agent: " +
                agent +
                "\n\n  ** ACCOUNT IS HALTED \u2014 only a human at the machine can clear "
                "it **\n");
  EXPECT_EQ(json.str(),
            "{\n  \"outcome\": \"parked\",\n  \"stage\": \"operator\",\n  "
            "\"verdict\": \"parked\",\n  \"rule\": \"options\",\n  \"question\": "
            "\"BUY option SPY? [options]\",\n  \"agent_feedback\": \"" +
                agent + "\",\n  \"halted\": true\n}\n");
  EXPECT_EQ(ask_exit_code(parked.outcome), Exit::Parked);
}

TEST_F(Ask, TheProposalsInputsAreJournalled) {
  // A put credit spread 5 wide for a credit of 1: at most 400 lost. A larger credit stated
  // than the limit assures lowers nothing.
  const auto spread = [](Args more) {
    more.insert(more.end(), {"--class", "option", "--leg", "AAPL260918P00150000:sell:1", "--leg",
                             "AAPL260918P00145000:buy:1", "--limit-credit", "1", "--credit", "1",
                             "--verdict", "approved", "--offline", "--equity", "100000"});
    return more;
  };
  const struct {
    Args args;
    std::string by_env;  // TOVRA_TRADE_BY; unset when empty
    std::string open;    // by, dte, structure, max_loss and underlying_price as journalled
    bool note;
  } cases[] = {
      // clang-format off
      {{"--structure", "long_stock", "--dte", "+7"}, "  ", R"(["cli",7,"long_stock",500.0,150.25])", false},
      {{"--by", ""}, " bot ", R"(["",null,"unspecified",500.0,150.25])", false},
      {spread({}), " bot ", R"([" bot ",null,"unspecified",400.0,null])", false},
      {spread({"--max-loss", "410"}), "", R"(["cli",null,"unspecified",400.0,null])", false},
      {spread({"--credit", "3"}), "", R"(["cli",null,"unspecified",400.0,null])", false},
      {spread({"--max-loss", "430"}), "", R"(["cli",null,"unspecified",400.0,null])", true},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.open);
    c.by_env.empty() ? unset("TOVRA_TRADE_BY") : set("TOVRA_TRADE_BY", c.by_env);
    Args args{"--symbol", "AAPL", "--notional", "500"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = ask(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, c.note ? "tovra trade: NOTE: --max-loss 430.00 does not match the strikes "
                              "(400.00); judging the DERIVED value.\n"
                            : "");
    const Json open = journal().back();
    Json got = Json::array();
    for (const char* key : {"by", "dte", "structure", "max_loss", "underlying_price"})
      got.push_back(open[key]);
    EXPECT_EQ(got.dump(), c.open);
  }
}

TEST_F(Ask, StopsBeforeThePipelineAndWritesNothing) {
  const std::string damaged = R"({"high_water": 5, "halt": {"at": 1)";
  write_text(state("risk.json"), damaged);
  write_text(config().parent_path() / "trade-limits.json", "[");
  const std::pair<Args, std::string> cases[] = {
      {{"--verdict", "maybe"},
       "tovra trade ask: --verdict maybe: expected approved|denied|expired|undeliverable\n"},
      {{"--offline"}, "tovra trade: REFUSED \u2014 equity is unknown (offline), and equity is"},
  };
  for (const auto& [more, err] : cases) {
    Args args{"--symbol", "AAPL", "--notional", "500"};
    args.insert(args.end(), more.begin(), more.end());
    auto r = ask(args);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, err.size()), err);
  }
  // Neither the risk state nor the limits were read: no warning, nothing set aside or written.
  EXPECT_EQ(slurp(state("risk.json")), damaged);
  EXPECT_EQ(std::distance(fs::directory_iterator(state("")), {}), 1);
}

TEST_F(Ask, DamagedStateFilesAreReportedAndTheRiskStateKept) {
  const std::string damaged = R"({"high_water": 5, "halt": {"at": 1)";
  write_text(state("risk.json"), damaged);
  const auto limits = config().parent_path() / "trade-limits.json";
  write_text(limits, "[0.1, 0.04]");
  auto r = ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", "100000"});
  EXPECT_EQ(r.code, 0);  // default limits: 500 of 100000 is within every one
  const std::regex warnings(
      "tovra trade: WARNING: risk state unreadable \\(" + state("risk.json").string() +
      "\\): [^\n]* at line 1 column [0-9]+ \u2014 set aside as (.*risk\\.json\\.corrupt-"
      "[0-9]+)\ntovra trade: WARNING: limits file unreadable \\(" +
      limits.string() + "\\): [^\n]* at line 1 column [0-9]+ \u2014 using the default limits\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.err, m, warnings)) << r.err;
  EXPECT_EQ(slurp(m[1].str()), damaged);
  // A fresh state took the damaged one's place; a stated equity moves none of its marks.
  EXPECT_NE(slurp(state("risk.json")).find("\"high_water\": 0.0"), std::string::npos);

  // A limits file that reads is applied.
  write_text(limits, R"([0.1, 0.04, 0.001, 0.1, 12])");
  auto tight = ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", "100000"});
  EXPECT_EQ(tight.code, 1);
  EXPECT_TRUE(tight.out.starts_with("REFUSED  at risk [risk_refused]\n")) << tight.out;
  EXPECT_EQ(tight.err, "");

  // A damaged state that cannot be set aside (its copy's name is taken) is not saved over.
  write_text(state("risk.json"), damaged);
  const auto now = static_cast<long long>(vavev_aziz::platform::now_seconds());
  for (long long t = now - 1; t <= now + 60; ++t)
    write_text(state("risk.json.corrupt-" + std::to_string(t)), "taken");
  auto kept = ask({"--symbol", "AAPL", "--notional", "500", "--offline", "--equity", "100000"});
  EXPECT_EQ(kept.code, 1);
  EXPECT_NE(kept.err.find("\u2014 could not set it aside as "), std::string::npos) << kept.err;
  EXPECT_NE(kept.err.find("tovra trade: WARNING: RISK STATE NOT PERSISTED (" +
                          state("risk.json").string() +
                          "): the unreadable file was left in place \u2014 a halt stands all "
                          "the same: the journal keeps it until `tovra-trade resume`\n"),
            std::string::npos)
      << kept.err;
  EXPECT_EQ(slurp(state("risk.json")), damaged);
}

TEST_F(Ask, TheBrokerGetsTheOrderThatWasJudged) {
  imsg(0);
  // A quantity given only on the leg sizes the order at the live price: the survival layer
  // judges the quarter of a million it is, not the hundred stated.
  broker.set_trade("TSLA", 250);
  auto sized = ask({"--symbol", "TSLA", "--leg", "TSLA:buy:1000", "--notional", "100"});
  EXPECT_EQ(sized.code, 1);
  EXPECT_TRUE(sized.out.starts_with("REFUSED  at risk [risk_refused]\n")) << sized.out;
  auto small = ask({"--symbol", "TSLA", "--leg", "TSLA:buy:3", "--notional", "100"});
  EXPECT_EQ(small.code, 0) << small.err;
  ASSERT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(broker.orders()[0]["qty"], "3");
  EXPECT_EQ(journal().back()["max_loss"], 750.0);

  fs::remove(state("journal.jsonl"));
  broker.set_positions(Json::array({{{"symbol", "MSFT"}, {"qty", "100"}}}));
  const std::pair<Args, std::string> refused[] = {
      // The leg is a held exit, but the wire would carry a buy of TSLA.
      {{"--symbol", "TSLA", "--leg", "MSFT:sell:100", "--notional", "72000"},
       "tovra trade: the leg MSFT sell does not match the order (--symbol TSLA, --side buy).\n"},
      // The leg is a covered buy, but the wire would carry an uncovered sale.
      {{"--class", "option", "--symbol", "AAPL240119C00190000", "--side", "sell", "--leg",
        "AAPL240119C00190000:buy:1", "--limit", "2", "--notional", "200"},
       "tovra trade: the leg AAPL240119C00190000 buy does not match the order"},
      {{"--symbol", "AAPL $10.00 (opening) [small]\n\n\n", "--notional", "100000"},
       "tovra trade check: --symbol \"AAPL $10.00 (opening) [small]\\n\\n\\n\": expected"},
      {{"--symbol", "AAPL", "--notional", "500", "--dryrun"},
       "tovra trade ask: unknown option \"--dryrun\"\n  Nothing was judged, written or sent."},
      {{"--symbol", "AAPL", "--notional", "500", "--offline=true"},
       "tovra trade ask: unknown option \"--offline=true\""},
      {{"--symbol", "AAPL", "--verdict=approved", "--notional", "500"},
       "tovra trade ask: unknown option \"--verdict=approved\""},
  };
  for (const auto& [args, err] : refused) {
    auto r = ask(args);
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.starts_with(err)) << r.err;
  }
  // A feed that quotes nothing, or less than nothing, cannot size an order.
  for (double price : {0.0, -5.0}) {
    broker.set_trade("AAPL", price);
    auto r = ask({"--symbol", "AAPL", "--qty", "1000", "--notional", "100000"});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.starts_with("tovra trade: REFUSED \u2014 no price for AAPL (")) << r.err;
  }
  // The value of an option is never taken for an option, so a "--" word there is fine.
  EXPECT_EQ(ask({"--symbol", "AAPL", "--notional", "500", "--why", "--dryrun", "--dry-run"}).code,
            0);
  EXPECT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(journal().size(), 1u);  // only the last, rehearsed, order
}

TEST_F(Ask, NothingGoesOutUnrecorded) {
  broker.set_positions(Json::array({{{"symbol", "AAPL"}, {"qty", "10"}}}));
  const Args open{"--symbol", "AAPL", "--notional", "500"};
  const Args exit{"--symbol", "AAPL",    "--side", "sell",       "--qty",
                  "5",        "--limit", "150",    "--notional", "750"};
  const auto not_placed = [](const Ran& r) {
    std::smatch m;
    std::regex_search(r.out, m, std::regex("NOT PLACED: (.*)\n"));
    return m[1].str();
  };

  // No open entry, no order: a position the journal does not hold is invisible to every later
  // survival check and to reconcile.
  fs::create_directories(state("journal.jsonl"));
  auto unjournalled = ask(open);
  EXPECT_EQ(unjournalled.code, 0);
  EXPECT_TRUE(not_placed(unjournalled).starts_with("the journal could not record the open entry ("))
      << unjournalled.out;
  EXPECT_NE(unjournalled.err.find("WARNING: journal write FAILED"), std::string::npos);
  EXPECT_TRUE(broker.orders().empty());
  fs::remove(state("journal.jsonl"));

  // A risk state this run cannot keep holds openings back; getting out still goes.
  write_text(state("risk.json"), "{");
  const auto now = static_cast<long long>(vavev_aziz::platform::now_seconds());
  for (long long t = now - 1; t <= now + 60; ++t)
    write_text(state("risk.json.corrupt-" + std::to_string(t)), "taken");
  auto opening = ask(open);
  EXPECT_EQ(opening.code, 0);
  EXPECT_EQ(not_placed(opening),
            "the risk state could not be saved (the unreadable file was left in place): "
            "approved, not sent \u2014 an order that adds risk waits until the survival layer's "
            "state can be kept");
  EXPECT_TRUE(broker.orders().empty());
  auto closing = ask(exit);
  EXPECT_EQ(closing.code, 0);
  EXPECT_EQ(not_placed(closing), "") << closing.out;
  EXPECT_EQ(broker.orders().size(), 1u);
  EXPECT_EQ(journal().size(), 2u);

  // Another run halts trading while the owner is being asked: the yes no longer opens anything.
  for (const auto& entry : fs::directory_iterator(state("")))
    if (entry.path().filename().string().starts_with("risk.json")) fs::remove(entry.path());
  fake_program("imsg", "cat > '" + state("risk.json").string() + R"(' <<'EOF'
{"high_water": 200000.0, "halt": {"at": 1.0, "kind": "drawdown", "reason": "elsewhere",
 "equity": 100000.0, "high_water": 200000.0, "iv_rank": null}}
EOF)");
  auto meanwhile =
      ask({"--symbol", "SPY261218C00500000", "--class", "option", "--notional", "500"});
  EXPECT_EQ(meanwhile.code, 0);
  EXPECT_TRUE(not_placed(meanwhile).starts_with("trading was halted by another run"))
      << meanwhile.out;
  EXPECT_TRUE(
      meanwhile.out.ends_with("ACCOUNT IS HALTED \u2014 only a human at the machine can "
                              "clear it **\n"));
  EXPECT_EQ(broker.orders().size(), 1u);
}

TEST_F(Ask, BinaryReportsEachOutcomeByItsExitCode) {
  auto allowed = run_binary({"ask", "--symbol", "AAPL", "--notional", "500", "--json"});
  EXPECT_EQ(allowed.code, 0) << allowed.err;
  const Json submit = Json::parse(allowed.out);
  EXPECT_EQ(shape(submit),
            "outcome stage client_order_id broker_order_id broker_status "
            "placement_error=null agent_feedback halted=false ");
  EXPECT_EQ(submit["broker_status"], "accepted");
  auto denied = run_binary({"ask", "--symbol", "BAD", "--notional", "500"});
  EXPECT_EQ(denied.code, 1);
  EXPECT_EQ(journal().size(), 2u);
}

// Runs on one account overlap (a scheduled loop and a person at a shell). Three runs wait for
// the owner's "no" until a fourth has saved a halt; two more are told no at once. Every save
// merges into what the others saved, so the halt and every remembered "no" survive. Each fake
// owner marks that it started, waits until all three have, then until the halt is saved, and
// marks each wait that ended in what it waited for: three marks of each prove that the three
// runs were waiting at once and that the halt was saved under them. Every wait gives up after
// 20 s, so a broken run fails rather than hangs.
TEST_F(Scratch, OverlappingAsksKeepTheHaltAndEveryRefusal) {
  write_text(config(), R"([{"name": "all", "when": [], "posture": "ask", "ttl_secs": 60}])");
  set("ALPACA_ACCOUNT", "book");
  const auto risk = state("book/risk.json");
  const auto owners = home() / "owners";
  const auto until = [](const std::string& condition) {
    return "i=0; while [ $i -lt 400 ] && ! " + condition + "; do sleep 0.05; i=$((i+1)); done\n";
  };
  const std::string all_started = "[ $(ls \"$HOME/owners\" | grep -c '^started') -ge 3 ]";
  const std::string halted = "grep -q '\"kind\"' \"" + risk.string() + "\"";
  fake_program("imsg", "touch \"$HOME/owners/started.$$\"\n" + until(all_started) + all_started +
                           " && touch \"$HOME/owners/together.$$\"\n" + until(halted) + halted +
                           " && touch \"$HOME/owners/halted.$$\"\nexit 1");
  const std::string order = " --notional 100 --offline --equity ";
  std::string script;
  for (int i = 1; i <= 5; ++i)
    script += "\"$0\" ask --symbol S" + std::to_string(i) + order + "100000" +
              (i > 3 ? " --verdict denied" : "") + " >/dev/null &\n";
  script += until(all_started) + "\"$0\" ask --symbol HALT" + order +
            "85000 --verdict approved >/dev/null\nwait\n";
  const auto marks = [&owners](const std::string& word) {
    return std::count_if(fs::directory_iterator(owners), fs::directory_iterator(),
                         [&word](const auto& entry) {
                           return entry.path().filename().string().starts_with(word + ".");
                         });
  };

  for (int round = 0; round < 2; ++round) {
    fs::remove_all(state(""));
    fs::remove_all(owners);
    fs::create_directories(owners);
    write_text(risk, R"({"high_water": 100000.0})");
    ASSERT_TRUE(
        vavev_aziz::platform::run("/bin/sh", {"-c", script, TOVRA_TRADE_BIN}).exited_with(0));
    EXPECT_EQ(marks("together"), 3) << "round " << round;
    EXPECT_EQ(marks("halted"), 3) << "round " << round;

    const auto saved = vavev_aziz::read_risk_state(slurp(risk));
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_TRUE(saved->halt) << "round " << round;
    const auto memory = vavev_aziz::DenialMemory::load(state("denials.json"));
    int denied = 0;
    for (const auto& event : vavev_aziz::Journal(state("book/journal.jsonl")).events()) {
      const auto* refused = std::get_if<vavev_aziz::RefusedEntry>(&event.value);
      if (!refused || refused->verdict != "denied") continue;
      ++denied;
      EXPECT_TRUE(memory.entries.contains(refused->symbol + "|equity|buy|open|b4"))
          << refused->symbol << " in round " << round;
    }
    EXPECT_GE(denied, 3);
  }
}

}  // namespace
}  // namespace trade::testing
