// CommandExit: how a command of the host program ends the process with a
// status. A command learns that it failed, or was stopped, deep inside its
// work, with a plug-in, a page server and an interrupt watch alive on the
// stack; std::exit there would skip their destructors, which stop the
// plug-in's object before unloading it and give the process its previous
// interrupt handling and console code page back. The command throws
// instead, and main, which catches it around the command line's parse,
// returns the status once the stack has unwound. It is no std::exception,
// so that no handler of ordinary failures on the way takes it for one.
//
// Thread-safety: thrown and caught on the thread that runs the command.

#ifndef DIZEDIR_TOOLS_DIZEDIR_COMMAND_EXIT_H_
#define DIZEDIR_TOOLS_DIZEDIR_COMMAND_EXIT_H_

namespace dizedir {

struct CommandExit {
  int status;
};

// Ends the running command; the process exits with `status`.
[[noreturn]] inline void ExitWithStatus(int status) { throw CommandExit{status}; }

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_COMMAND_EXIT_H_
