// `resume`: clears a trading halt, but only after the presence-check program confirms that a
// person is at the machine. Only the halt goes; the high-water mark and the week's start
// equity stay, so a drawdown still past its limit halts again at the next proposal. The halt
// in force is the risk state's, or else the journal's last one that no person has cleared
// (its run could not save it). Clearing records how far the journal was read, so every halt
// written before counts as cleared and every one written after stands, whatever its time.
#include "ask_state.hpp"
#include "commands.hpp"
#include "paths.hpp"
#include "vavev_aziz/journal.hpp"
#include "vavev_aziz/risk.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

using vavev_aziz::RiskState;

// The state in risk.json; absent when the file cannot be read or does not parse, which reads
// as no halt, like every other reader of the optional state.
std::optional<RiskState> load(const std::filesystem::path& path) {
  auto text = vavev_aziz::platform::read_file(path);
  if (!text) return std::nullopt;
  auto state = vavev_aziz::read_risk_state(*text);
  if (!state) return std::nullopt;
  return std::move(*state);
}

}  // namespace

Exit cmd_resume(Io io) {
  const auto path = state_path("risk.json");
  if (!path) return no_path(io.err, path.error());
  const auto journal_path = state_path("journal.jsonl");
  if (!journal_path) return no_path(io.err, journal_path.error());
  RiskState state = load(*path).value_or(RiskState{});
  const auto journal = journal_halts(vavev_aziz::Journal(*journal_path).trades());
  state.restore(journal);
  if (!state.halt) {
    io.out << "not halted \u2014 nothing to clear\n";
    return Exit::Ok;
  }

  const vavev_aziz::Halt halt = *state.halt;
  io.out << "HALTED: " << halt.reason << '\n'
         << "  tripped at equity " << vavev_aziz::numbers::fixed(halt.equity, 2)
         << " against high-water " << vavev_aziz::numbers::fixed(halt.high_water, 2) << "\n\n"
         << "Clearing a halt requires presence at this machine.\n";
  // The person at the machine reads this before the check program takes the terminal.
  io.out.flush();

  if (!vavev_aziz::arm_via_biometric("kestrin", "clear the tovra-trade halt")) {
    io.err << "tovra trade: the arm gate did not pass \u2014 the halt STANDS.\n"
           << "  (this is the intended failure mode: nobody present, nothing cleared)\n";
    return Exit::NotPresent;
  }

  // Cleared from the file as it stands after the check, not from the copy read before it:
  // the high-water mark and week start other runs saved meanwhile stay.
  const auto cleared = clear_halt(*path, journal, *journal_path);
  if (!cleared) {
    return fail(io.err, "could not persist the clear (" + path->string() + "): " + cleared.error());
  }
  const std::string& kind = *cleared ? (*cleared)->kind : halt.kind;
  io.out << "\ncleared the " << kind << " halt \u2014 trading may resume\n";
  return Exit::Ok;
}

}  // namespace trade
