// `dizedir verify`, `dizedir repair` and `dizedir install`: a client
// directory compared with the release of its version, put right, or
// installed from nothing, each through the client's own plug-in as a
// launcher's "verify game files" would run it.
//
// Thread-safety: one command per process.

#ifndef DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_
#define DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_

#include <string>
#include <vector>

#include "dizedir/dizedir.h"
#include "update_command.h"

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

// The command lines of verify, repair and install.
struct TreeFlags {
  std::string client;
  // The region's index; -1 for the plug-in's current region.
  int region = -1;
  bool json = false;
  // install only; the client directory may come as `directory` or `client`.
  std::string directory;
  std::string from;
  std::string modules;
  std::string public_key;
};

// Runs `dizedir verify` (task kVerify) or `dizedir repair` (kRepair) and
// prints the findings. Returns when all went well; otherwise ends the
// command through ExitWithStatus (command_exit.h) with
// kVerifyFoundProblems, 1 for a failure (its message on standard error) or
// kInterruptedExitStatus when the user stopped it.
void RunVerifyOrRepair(const TreeFlags& flags, ClientTask task);

// Runs `dizedir install`: the modules copied into the directory, then,
// with --from naming a server, the whole client fetched. Ends the command
// through ExitWithStatus as RunVerifyOrRepair does, never with
// kVerifyFoundProblems.
void RunInstall(const TreeFlags& flags);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_TREE_COMMANDS_H_
