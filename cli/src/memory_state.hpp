// The denial memory beside the journals. denials.json is shared by every account, and each
// account's journal keeps the owner's refusals too: a refusal the memory lacks (its save
// failed, or a run whose clock was ahead dropped it) still binds the account whose journal
// holds it, until its time is up or `memory --forget` forgets it. A forget records how far
// every journal went, so the refusals written before stay forgotten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "vavev_aziz/approval.hpp"
#include "vavev_aziz/journal.hpp"

namespace trade {

// The name denials.json gives the journal at `journal`: its path from the folder of
// denials.json, which is at `memory` ("journal.jsonl", "book/journal.jsonl").
std::string journal_name(const std::filesystem::path& journal, const std::filesystem::path& memory);

// Makes the owner's refusals in `trades` (a fold of the journal named `name`, read with its
// refusals) suppress as the memory's entries do, unless `memory --forget` forgot them since.
void recall_journalled_refusals(vavev_aziz::DenialMemory& memory, const vavev_aziz::Trades& trades,
                                const std::string& name);

// Every account's journal in the folder of denials.json at `memory` (the default account's and
// each account folder's), by name, with how far its lines reach now: where `memory --forget`
// forgets their refusals.
std::map<std::string, std::uint64_t> journal_lengths(const std::filesystem::path& memory);

}  // namespace trade
