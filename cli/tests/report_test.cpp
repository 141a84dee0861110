// report: the attribution rows, counts, stale list and filled exits in text and JSON, over
// hand-written journals (unreadable lines, the array form and CRLF endings among them).
#include <cmath>

#include <nlohmann/json.hpp>

#include "harness.hpp"
#include "report.hpp"

namespace trade::testing {
namespace {

using vavev_aziz::Attribution;
using Json = nlohmann::ordered_json;

const std::string kTooFew =
    " trades \u2014 too few to distinguish skill from luck (need 30+ before any verdict)";

class Report : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    set("ALPACA_ACCOUNT", "default");
  }
  fs::path journal() const { return state("journal.jsonl"); }
};

TEST(ReportRow, ColumnsAndVerdict) {
  const Attribution all{.label = "ALL closed trades",
                        .n = 42,
                        .wins = 26,
                        .mean_ror = 0.0435,
                        .sd_ror = 0.2,
                        .total_pnl = 1234.56,
                        .family_size = 1};
  const Attribution rich{.label = "iv_rank 75-100% (rich)",
                         .n = 7,
                         .wins = 7,
                         .mean_ror = -0.1234,
                         .total_pnl = -250,
                         .family_size = 4};
  const Attribution wide{.label = "\u03c9-wheel", .n = 1, .wins = 0, .total_pnl = NAN};
  EXPECT_EQ(report_row(all),
            "  ALL closed trades          n=42   win  61.9%  meanROR  +4.35%  P&L   +1234.56\n"
            "      " +
                all.verdict() + "\n");
  EXPECT_EQ(report_row(rich),
            "  iv_rank 75-100% (rich)     n=7    win 100.0%  meanROR -12.34%  P&L    -250.00\n"
            "      7" +
                kTooFew + "\n");
  // Padding counts characters, and a number that is not finite prints as elsewhere.
  const auto wide_row = report_row(wide);
  EXPECT_EQ(wide_row.substr(0, wide_row.find('\n')),
            "  \u03c9-wheel                    n=1    win   0.0%  meanROR  +0.00%  P&L        NaN");
  EXPECT_EQ(report_row(Attribution{.label = "empty"}), "");
}

TEST_F(Report, EmptyJournalInTextAndJson) {
  auto text = run({"report"});
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out, journal().string() +
                          "\n\nOVERALL\n"
                          "  no closed, filled trades yet \u2014 nothing to attribute\n"
                          "\nBY IV RANK AT ENTRY  (the regime question: harvest when rich, stand "
                          "down when not)\n"
                          "\nBY STRUCTURE\n"
                          "\n  0 open \u00b7 0 awaiting reconciliation\n");

  auto js = run({"report", "whatever", "--json"});
  EXPECT_EQ(js.code, 0);
  const auto row = [](const std::string& label, int k) {
    return R"({"label":")" + label +
           R"(","n":0,"wins":0,"win_rate":0.0,"mean_ror":0.0,"t_stat":0.0,"family_size":)" +
           std::to_string(k) + R"(,"n_needed":null,"total_pnl":-0.0,"verdict":"0)" + kTooFew +
           "\"}";
  };
  EXPECT_EQ(Json::parse(js.out).dump(),
            R"({"overall":)" + row("ALL closed trades", 1) + R"(,"by_iv_rank":[)" +
                row("iv_rank 0-25% (cheap)", 4) + "," + row("iv_rank 25-50%", 4) + "," +
                row("iv_rank 50-75%", 4) + "," + row("iv_rank 75-100% (rich)", 4) +
                R"(],"by_structure":[],"by_proposer":[],"open":0,"awaiting_reconciliation":0,)"
                R"("exits_awaiting_close":[]})");
  EXPECT_EQ(js.out.substr(0, 30), "{\n  \"overall\": {\n    \"label\": ");
}

// Two scored proposers, a smoke-test trade left out, closed, open, awaiting and exit orders,
// with lines the reader must skip. "now" is fixed so ages sit exactly on the stale boundary.
const std::string kJournal =
    R"({"event":"open","id":"tovra-aaaa1111","at":1000,"symbol":"SPY","structure":"put_credit","thesis":"t","iv_rank":0.8,"max_loss":100,"gate_rule":"r","approved_by":"rule","by":"loop"})"
    "\r\n"
    R"({"event":"fill","id":"tovra-aaaa1111","at":1100,"status":"filled","filled_qty":1,"intended_qty":1})"
    "\r\n"
    R"({"event":"close","id":"tovra-aaaa1111","at":2000,"realized_pnl":50,"outcome":"expired"})"
    "\r\n"
    R"(["open","tovra-bbbb2222",1000,"QQQ","iron_condor","t",0.3,null,null,2,null,null,200,null,"r","operator","cli"])"
    "\n"
    R"(["fill","tovra-bbbb2222",1100,"filled",2,2,null,null])"
    "\n"
    R"({"outcome":"stop","realized_pnl":-20,"at":2000,"id":"tovra-bbbb2222","event":"close"})"
    "\n"
    R"({"event":"close","id":"tovra-aaaa1111","at":3000,"realized_pnl":null,"outcome":"x"})"
    "\n{\"event\":\"Open\",\"id\":\"tovra-zz\"}\nnot json\n   \n"
    R"({"event":"open","id":"tovra-ssss","at":1000,"symbol":"SPY","structure":"smoke_test","thesis":"t","max_loss":10,"gate_rule":"r","approved_by":"rule"})"
    "\n"
    R"({"event":"fill","id":"tovra-ssss","at":1100,"status":"filled","filled_qty":1,"intended_qty":1})"
    "\n"
    R"({"event":"close","id":"tovra-ssss","at":2000,"realized_pnl":999,"outcome":"x"})"
    "\n"
    R"({"event":"open","id":"tovra-cccc3333","at":1000,"symbol":"IWM","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule"})"
    "\n"
    R"({"event":"fill","id":"tovra-cccc3333","at":1100,"status":"filled","filled_qty":1,"intended_qty":1})"
    "\n"
    R"({"event":"open","id":"tovra-eeee4444","at":1000,"symbol":"IWM","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule","exit":true,"closes":"tovra-cccc3333"})"
    "\n"
    R"({"event":"fill","id":"tovra-eeee4444","at":1100,"status":"filled","filled_qty":1,"intended_qty":1})"
    "\n"
    R"({"event":"open","id":"tovra-ffff5555","at":1000,"symbol":"TSLA","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule","exit":true})"
    "\n"
    R"({"event":"fill","id":"tovra-ffff5555","at":1100,"status":"filled","filled_qty":1,"intended_qty":1})"
    "\n"
    R"({"event":"open","id":"tovra-ddddddddddd)"
    "\u00e9\u00e9"
    R"(","at":976599,"symbol":"D","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule"})"
    "\n"
    R"({"event":"open","id":"tovra-fresh-at-the-boundary","at":976600,"symbol":"F","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule"})"
    "\n"
    R"({"event":"open","id":"tovra-gggggggggggg-long","at":964000,"symbol":"G","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule"})";

TEST_F(Report, WholeTextReport) {
  write_text(journal(), kJournal);
  const vavev_aziz::Journal j(journal());
  EXPECT_EQ(
      report_text(j, 1000000),
      journal().string() +
          "\n\nOVERALL\n"
          "  ALL closed trades          n=2    win  50.0%  meanROR +20.00%  P&L     +30.00\n"
          "      2" +
          kTooFew +
          "\n"
          "\nBY IV RANK AT ENTRY  (the regime question: harvest when rich, stand down when not)\n"
          "  iv_rank 25-50%             n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
          "      1" +
          kTooFew +
          "\n"
          "  iv_rank 75-100% (rich)     n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
          "      1" +
          kTooFew +
          "\n"
          "\nBY STRUCTURE\n"
          "  iron_condor                n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
          "      1" +
          kTooFew +
          "\n"
          "  put_credit                 n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
          "      1" +
          kTooFew +
          "\n"
          "\nBY PROPOSER  (does the human-prompted flow pick different trades than the loop?)\n"
          "  cli                        n=1    win   0.0%  meanROR -10.00%  P&L     -20.00\n"
          "      1" +
          kTooFew +
          "\n"
          "  loop                       n=1    win 100.0%  meanROR +50.00%  P&L     +50.00\n"
          "      1" +
          kTooFew +
          "\n"
          "\n  4 open \u00b7 3 awaiting reconciliation\n"
          "\n  STALE \u2014 awaiting the broker for more than a session:\n"
          "    tovra-ddddddddddd  6.5h\n"
          "    tovra-gggggggggggg  10.0h\n"
          "    Each holds a position slot and part of the risk budget. Reconcile them,\n"
          "    or record the ones the broker never created: tovra trade unplaced --id X \u2026\n"
          "\nFILLED EXITS WITH NO RESULT RECORDED  (2 \u2014 these are missing from every row "
          "above)\n"
          "  IWM  exit tovra-ee filled \u2014 record it:\n"
          "      tovra trade close --id tovra-cc --pnl <realized>\n"
          "  TSLA  exit tovra-ff filled against a position this journal never opened \u2014 "
          "nothing to close\n");
}

TEST_F(Report, JsonOfTheSameJournal) {
  write_text(journal(), kJournal);
  auto r = run({"report", "--json"});
  ASSERT_EQ(r.code, 0);
  const auto js = Json::parse(r.out);
  EXPECT_EQ(js["overall"]["n"], 2);
  EXPECT_NEAR(js["overall"]["t_stat"].get<double>(), 2.0 / 3.0, 1e-12);
  EXPECT_EQ(js["overall"]["n_needed"], 18);
  EXPECT_EQ(js["overall"]["win_rate"], 0.5);
  EXPECT_EQ(js["by_iv_rank"][3]["t_stat"], 0.0);  // one trade has no spread
  EXPECT_EQ(js["by_proposer"].size(), 2u);
  EXPECT_EQ(js["open"], 4);
  EXPECT_EQ(js["awaiting_reconciliation"], 3);
  EXPECT_EQ(
      js["exits_awaiting_close"].dump(),
      R"([{"exit_id":"tovra-eeee4444","symbol":"IWM","closes":"tovra-cccc3333","named":true},)"
      R"({"exit_id":"tovra-ffff5555","symbol":"TSLA","closes":null,"named":false}])");
}

TEST_F(Report, ProposerBlockNeedsTwoScoredProposers) {
  // "cli" has a closed trade without a maximum loss: a row with n 0, which does not count.
  write_text(
      journal(),
      kJournal.substr(0, kJournal.find("\n[\"open\"")) + "\n" +
          R"({"event":"open","id":"tovra-h","at":1,"symbol":"H","structure":"s","thesis":"t","gate_rule":"r","approved_by":"rule","by":"cli"})"
          "\n"
          R"({"event":"close","id":"tovra-h","at":2,"realized_pnl":-5,"outcome":"x"})"
          "\n");
  auto text = run({"report"});
  EXPECT_EQ(text.out.find("BY PROPOSER"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("P&L     +50.00"), std::string::npos) << text.out;
  const auto js = Json::parse(run({"report", "--json"}).out);
  EXPECT_EQ(js["by_proposer"].size(), 2u);
  EXPECT_EQ(js["overall"]["total_pnl"], 45.0);
}

TEST_F(Report, JournalCommandsNeedAHome) {
  unset("HOME");
  for (const char* command : {"report", "reconcile", "close", "unplaced"}) {
    auto r = run({command, "--json"});
    EXPECT_EQ(r.code, 3) << command;
    EXPECT_EQ(r.err, "tovra trade: no HOME\n") << command;
    EXPECT_EQ(r.out, "") << command;
  }
}

}  // namespace
}  // namespace trade::testing
