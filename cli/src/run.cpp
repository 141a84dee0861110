#include <array>
#include <cstddef>
#include <string_view>

#include <fmt/format.h>

#include "commands.hpp"
#include "options.hpp"
#include "vavev_aziz/support/env.hpp"

namespace trade {

const char* const kUsage = R"USAGE(tovra-trade — the gated write path to Alpaca

usage:
  tovra-trade rules [--json]                 the rule table, in order (first match wins)
  tovra-trade rules --init                   write the starter table if none exists
  tovra-trade check <spec> [--equity N]      evaluate one order; prints the decision
  tovra-trade ask <spec> [--equity N]        the FULL path: memory -> gate -> operator -> memory
  tovra-trade memory [--json|--forget]       what the operator has refused, and until when
  tovra-trade account [--json]               live account state + positions (read-only)
  tovra-trade contract [--json]              every way a proposal can end, for the agent brief
  tovra-trade reconcile [--json]             ask the broker what happened to submitted orders
  tovra-trade report [--json]                attribution: is any of this distinguishable from luck?
  tovra-trade close --id X --pnl N           record that a position ended (frees its risk budget)
  tovra-trade unplaced --id X --reason "…" [--qty N]  the broker refused this ticket at the wire; it never existed
  tovra-trade diary "…" [--tag T]            file this turn's account of itself, in prose
  tovra-trade diary --read [N] | diary read [N]   the last N diary entries (default 5)
  tovra-trade resume                         clear a halt (requires presence at this machine)
  tovra-trade --describe                     one-line module summary

order spec (check):
  --symbol S            required
  --class equity|option|crypto   default equity
  --side buy|sell       default buy
  --intent opening|closing       default opening
  --notional N          required
  --leg S:side:QTY[:R]  one leg of a multi-leg ticket; repeat per leg.
                        The only way to spell a spread — --legs can just clone
                        one symbol. e.g. a put credit spread:
                          --leg AMD260918P00430000:sell:1 \
                          --leg AMD260918P00420000:buy:1
  --legs N              leg count for a UNIFORM structure (all one symbol)
  --naked               make leg 0 the short one (uniform structures only).
                        It no longer asserts uncovered-ness: whether a short leg
                        is covered is derived from the other legs and from live
                        positions, never declared.
  --limit N             send a LIMIT order at this NET price. Without it the
                        ticket goes to the wire as a MARKET order, which on a
                        wide option spread fills wherever the book happens to be.
                        On a MULTI-LEG ticket the net price is SIGNED, in the
                        broker's convention: NEGATIVE receives (credit),
                        POSITIVE pays (debit). A positive limit on a credit
                        spread is a debit ceiling, not a credit floor — it
                        protects nothing. Prefer the two named spellings:
  --limit-credit N      receive AT LEAST N net (multi-leg). Sends -N.
  --limit-debit N       pay AT MOST N net. Sends +N.
                        The three are mutually exclusive. With --qty the
                        notional is computed from a DEBIT price; a credit
                        cannot size an order (it is premium received, not
                        capital at risk) so state --notional yourself.
  --why "…"            rationale, carried into the approval question

options:
  --equity N   account equity for fraction-of-equity rules (default: LIVE equity)
  --qty N      share/contract count, so intent can be derived from real positions
  --offline    do not call Alpaca AT ALL: no prices, no positions, and (on `ask`)
               no order is sent — approved and journalled only, like --dry-run
  --json       machine-readable decision
  --by WHO     (ask) proposer identity for attribution: cron:<job>, mcp:trader, cli
               (or set TOVRA_TRADE_BY once, so a loop cannot forget it)
  --dry-run    (ask) run the whole gate and journal it, but do NOT send the order
  --verdict V  (ask, testing only) skip the text: approved|denied|expired|undeliverable

attribution inputs (ask) — recorded at entry, unrecoverable later:
  --structure S      put_credit_spread | long_call | iron_condor | …
  --iv-rank F        0.0-1.0, THE regime variable the journal buckets by
  --iv F             implied vol at entry
  --delta F          short-leg delta
  --credit F         credit received
  --max-loss N       defined risk; defaults to the notional if unstated
  --dte N            days to expiry

freshness bounds (ask) — re-checked between the operator's yes and the wire.
  Both need a live quote: with --offline nothing is quoted, so neither applies.
  --max-quote-age N  seconds a quote may be stale at fire time (default 300)
  --max-drift F      notional drift allowed during the ask (default 0.05)

exit codes (check):
  0  allowed      1  ask required      2  denied      3  usage/config error
exit codes (ask):
  0  submit       1  refused           3  usage/config error
)USAGE";

namespace {

constexpr std::string_view kDescription =
    "trade \u2014 gated Alpaca write path: `tovra-trade check` runs an order past the rule "
    "table (no/ask/yes + per-rule TTL, fail-closed); rules in ~/.tovra/config/trade.json";

// The longest argument any command takes. Texts from the command line go into journal lines,
// escaped up to six times their size; bounded here, no line can outgrow what the journal's
// readers keep.
constexpr std::size_t kLongestArgument = std::size_t{1} << 20;

struct Command {
  std::string_view word;
  Exit (*handler)(const Args&, Io);
  bool needs_account;
};

Exit resume(const Args&, Io io) {
  return cmd_resume(io);
}
Exit contract(const Args& args, Io io) {
  cmd_contract(args, io);
  return Exit::Ok;
}

int status(Exit e) {
  return static_cast<int>(e);
}

// The command table: words are compared exactly, case-sensitively.
constexpr std::array<Command, 12> kCommands = {{
    {"ask", cmd_ask, true},
    {"check", cmd_check, true},
    {"rules", cmd_rules, false},
    {"memory", cmd_memory, true},
    {"resume", resume, true},
    {"account", cmd_account, true},
    {"reconcile", cmd_reconcile, true},
    {"report", cmd_report, true},
    {"close", cmd_close, true},
    {"unplaced", cmd_unplaced, true},
    {"diary", cmd_diary, true},
    {"contract", contract, false},
}};

}  // namespace

Exit fail(std::ostream& err, std::string_view message, std::string_view who) {
  err << who << ": " << message << '\n';
  return Exit::Error;
}

bool account_selected(std::ostream& err) {
  auto account = vavev_aziz::env::text("ALPACA_ACCOUNT");
  if (account && !account->empty()) return true;
  err << "tovra trade: ALPACA_ACCOUNT is not set \u2014 name the book this session means to "
         "touch.\n"
         "contest account:  set -a; . ~/.tovra/config/env-profiles/hackathon.env; set +a\n"
         "default book:     ALPACA_ACCOUNT=default tovra trade \u2026\n"
         "(An absent selector no longer falls through to the default book.)\n";
  return false;
}

int run(const Args& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    out << kUsage;
    return status(Exit::Ok);
  }
  if (has(args, "--describe")) {
    out << kDescription << '\n';
    return status(Exit::Ok);
  }
  const std::string& word = args.front();
  if (word == "help" || word == "-h" || word == "--help") {
    out << kUsage;
    return status(Exit::Ok);
  }
  for (const auto& c : kCommands) {
    if (c.word != word) continue;
    for (const auto& arg : args) {
      if (arg.size() <= kLongestArgument) continue;
      return status(fail(err, fmt::format("an argument of {} bytes is longer than the {} bytes "
                                          "any argument may hold",
                                          arg.size(), kLongestArgument)));
    }
    if (c.needs_account && !account_selected(err)) return status(Exit::NoAccount);
    const Args rest(args.begin() + 1, args.end());
    return status(c.handler(rest, Io{out, err}));
  }
  err << "tovra trade: unknown command \"" << word << "\"\n" << kUsage;
  return status(Exit::Error);
}

}  // namespace trade
