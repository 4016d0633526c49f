// The arguments and console text of a command-line program in the program's
// own narrow text, UTF-8. Windows hands main() its arguments in the ANSI code
// page, which cannot carry every folder name a player may have (a client in
// "Клиент" under code page 1252), and shows console output in the console's
// code page; both are mapped here.
//
// Thread-safety: call from main() before other threads start.

#ifndef DIZEDIR_PLATFORM_COMMAND_LINE_H_
#define DIZEDIR_PLATFORM_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace dizedir {

// The program's arguments, argv[0] first, as UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// While it lives, a console shows the program's UTF-8 output as UTF-8; the
// console's code page comes back when it ends. Nothing to do elsewhere.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  // The code pages to give back; only Windows consoles have them.
  [[maybe_unused]] unsigned saved_output_page_ = 0;
  [[maybe_unused]] unsigned saved_input_page_ = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_COMMAND_LINE_H_
