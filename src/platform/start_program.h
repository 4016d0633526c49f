// Starting what lies outside this program: the player's web browser on a
// page, and a program left to run on its own, as a launcher starts the game.
// Neither waits for what it started, and what it started outlives this
// process: it keeps none of this process's files or sockets open and has
// standard streams of its own, so a game left running never holds the
// launcher's port or terminal.
//
// Thread-safety: safe from any thread.

#ifndef DIZEDIR_PLATFORM_START_PROGRAM_H_
#define DIZEDIR_PLATFORM_START_PROGRAM_H_

#include <string>

#include "platform/status.h"

namespace dizedir {

// Starts the program at `program` (a native path; no search of PATH)
// without arguments, in `working_dir`. OK once the program is running;
// the OS's reason when it could not be started (missing, not executable).
Status StartDetachedProgram(const std::string& program, const std::string& working_dir);

// Asks the desktop to show `url` in the user's browser (xdg-open on Linux,
// the shell's default handler on Windows). OK means the request was
// handed over; whether a browser appears is the desktop's business.
Status OpenInBrowser(const std::string& url);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_START_PROGRAM_H_
