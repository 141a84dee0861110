// The command handlers. Each takes the arguments after its command word and returns the exit
// status; results go to io.out, diagnostics to io.err.
#pragma once

#include "run.hpp"

namespace trade {

Exit cmd_ask(const Args& args, Io io);
Exit cmd_check(const Args& args, Io io);
Exit cmd_rules(const Args& args, Io io);
Exit cmd_memory(const Args& args, Io io);
Exit cmd_resume(Io io);
Exit cmd_account(const Args& args, Io io);
Exit cmd_reconcile(const Args& args, Io io);
Exit cmd_report(const Args& args, Io io);
Exit cmd_close(const Args& args, Io io);
Exit cmd_unplaced(const Args& args, Io io);
Exit cmd_diary(const Args& args, Io io);
void cmd_contract(const Args& args, Io io);

}  // namespace trade
