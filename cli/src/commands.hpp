// The command handlers. Each takes the arguments after its command word and returns the exit
// status; results go to io.out, diagnostics to io.err.
#pragma once

#include "run.hpp"

namespace trade {

int cmd_ask(const Args& args, Io io);
int cmd_check(const Args& args, Io io);
int cmd_rules(const Args& args, Io io);
int cmd_memory(const Args& args, Io io);
int cmd_resume(Io io);
int cmd_account(const Args& args, Io io);
int cmd_reconcile(const Args& args, Io io);
int cmd_report(const Args& args, Io io);
int cmd_close(const Args& args, Io io);
int cmd_unplaced(const Args& args, Io io);
int cmd_diary(const Args& args, Io io);
void cmd_contract(const Args& args, Io io);

}  // namespace trade
