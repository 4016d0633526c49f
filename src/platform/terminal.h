// Terminal: what a command-line program needs to know about the standard
// streams to choose between an in-place display and plain lines, and a way
// to read an answer from the user that keeps an eye on other events while
// it waits.
//
// Thread-safety: the queries may be called from any thread; one thread at a
// time reads standard input.

#ifndef DIZEDIR_PLATFORM_TERMINAL_H_
#define DIZEDIR_PLATFORM_TERMINAL_H_

#include <functional>
#include <string>

namespace dizedir {

enum class StandardStream { kInput, kOutput, kError };

bool IsTerminal(StandardStream stream);

// Columns of the terminal on standard output; 0 when it is not a terminal
// or does not say.
int TerminalColumns();

// Reads one line from standard input, without its line ending. While no
// input is there it asks `keep_waiting` every 100 ms or so and gives up
// (false) when that says no. End of input before a line ending returns
// what came, or false when nothing did.
bool ReadInputLine(std::string* line, const std::function<bool()>& keep_waiting);

// Turns the echo of what is typed on a terminal's standard input off or on,
// for a passphrase prompt. False (and nothing changed) when standard input
// is not a terminal.
bool SetInputEcho(bool on);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_TERMINAL_H_
