#include "platform/command_line.h"

// shellapi.h is not self-contained: it needs windows.h, which
// win32_util.h brings in, ahead of it.
#include "platform/win32/win32_util.h"

#include <shellapi.h>

namespace dizedir {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(win32::Narrow(wide[i]));
  LocalFree(wide);
  return arguments;
}

Utf8Console::Utf8Console()
    : saved_output_page_(GetConsoleOutputCP()), saved_input_page_(GetConsoleCP()) {
  // Without a console both are 0 and there is nothing to change or restore.
  if (saved_output_page_ != 0) SetConsoleOutputCP(CP_UTF8);
  if (saved_input_page_ != 0) SetConsoleCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
  if (saved_output_page_ != 0) SetConsoleOutputCP(saved_output_page_);
  if (saved_input_page_ != 0) SetConsoleCP(saved_input_page_);
}

}  // namespace dizedir
