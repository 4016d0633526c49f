// `dizedir verify`, `dizedir repair` and `dizedir install`: a client
// directory compared with the release of its version, put right, or
// installed from nothing, each through the client's own plug-in as a
// launcher's "verify game files" would run it.
//
// Thread-safety: one command per process.

#ifndef DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_
#define DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "dizedir/dizedir.h"

namespace dizedir {

// The exit status of a verify that found files missing or damaged (0: all
// intact, 1: the verify itself failed).
inline constexpr int kVerifyFoundProblems = 3;

// "missing", "damaged", "extra", "damaged-table", "missing-entry",
// "damaged-entry", "extra-entry"; "unknown" for a kind this program does
// not know.
const char* FindingKindName(int32_t kind);

// One line a person reads for a finding: its kind, path and entry.
std::string FindingLine(const DizedirFinding& finding);

// Whether a finding is something a repair puts right (extra plain files
// are the player's).
bool FindingIsProblem(const DizedirFinding& finding);

void RegisterTreeCommands(CLI::App& app);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_
