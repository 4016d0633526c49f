// `dizedir update`: brings a client directory up to date the way a player's
// launcher does. It fetches the server list, starts the update task from the
// chosen region, shows its progress, answers the optional-patch question and
// turns an interrupt into a clean stop that the next run resumes from.
//
// DriveUpdate holds the whole conversation with the plug-in; the console it
// is given is its only contact with the outside world, so tests drive it
// with a scripted plug-in and a virtual clock.
//
// Thread-safety: one thread drives one update.

#ifndef DIZEDIR_TOOLS_DIZEDIR_UPDATE_COMMAND_H_
#define DIZEDIR_TOOLS_DIZEDIR_UPDATE_COMMAND_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "dizedir/dizedir.h"

namespace dizedir {

enum class OptionalPatches { kYes, kNo, kAsk };
enum class ProgressOutput { kTerminal, kPlain, kJson };
// What the plug-in is asked to do in the update's place.
enum class ClientTask { kUpdate, kVerify, kRepair, kInstall };

struct UpdateOptions {
  // The region to update from; the plug-in's current region when empty.
  std::optional<uint8_t> region;
  OptionalPatches optional = OptionalPatches::kNo;
  ProgressOutput output = ProgressOutput::kPlain;
  ClientTask task = ClientTask::kUpdate;
  // For kInstall: the update server's address, which needs no server list.
  std::string install_address;
};

inline constexpr uint32_t kPollIntervalMillis = 100;
inline constexpr const char* kOptionalQuestion = "Download optional patches? [y/N] ";
inline constexpr const char* kStoppedMessage = "stopped; run the same command again to resume";

class UpdateConsole {
 public:
  virtual ~UpdateConsole() = default;
  virtual void WriteOutput(std::string_view text) = 0;
  virtual void WriteError(std::string_view text) = 0;
  virtual uint32_t NowMillis() = 0;
  // Waits up to `millis`; true (early) once the user has interrupted.
  virtual bool WaitForInterrupt(uint32_t millis) = 0;
  virtual bool Interrupted() = 0;
  // Columns of the terminal; 0 when unknown.
  virtual int Columns() = 0;
  // One line of the user's answer; empty when input ended or the user
  // interrupted instead.
  virtual std::optional<std::string> ReadAnswer() = 0;
  // Whether the user's input shows on the output by itself (a terminal
  // echoes it; a file or pipe does not).
  virtual bool InputEchoes() = 0;
};

// Runs the server list, then the update (or the task options.task names;
// an install needs no server list), on a plug-in object whose client
// directory is set. Returns the exit status: 0 current or updated (the task
// done), 1 failed (the status text went to standard error), 130 stopped by
// the user.
int DriveUpdate(DizedirInterface* plugin, const UpdateOptions& options, UpdateConsole* console);

// Progress as lines of JSON when asked, else for a terminal when standard
// output is one, else plain lines.
ProgressOutput OutputFor(bool json);

// Loads the client directory's plug-in, runs DriveUpdate on a new object
// with an interrupt turned into a clean stop, and returns what `finish`
// makes of the object and DriveUpdate's status (that status when `finish`
// is empty). Ends the command through ExitWithStatus (command_exit.h) with
// status 1 and a message when the plug-in cannot be loaded, or is too old
// for the task.
int RunPluginTask(const std::string& client_dir, const UpdateOptions& options,
                  const std::function<int(DizedirInterface*, int)>& finish);

// `dizedir update`'s command line.
struct UpdateFlags {
  std::string client;
  // The region's index; -1 for the plug-in's current region.
  int region = -1;
  // "yes", "no" or "ask"; empty to ask only when standard input is a
  // terminal.
  std::string optional;
  bool json = false;
};

// Runs `dizedir update`. Returns when the client is up to date; otherwise
// ends the command through ExitWithStatus (command_exit.h) with 1 for a
// failure (its message on standard error) or kInterruptedExitStatus when
// the user stopped it.
void RunUpdateCommand(const UpdateFlags& flags);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_UPDATE_COMMAND_H_
