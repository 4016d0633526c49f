#include "platform/terminal.h"
#include "platform/win32/win32_util.h"

namespace dizedir {
namespace {

DWORD HandleIdOf(StandardStream stream) {
  switch (stream) {
    case StandardStream::kInput: return STD_INPUT_HANDLE;
    case StandardStream::kOutput: return STD_OUTPUT_HANDLE;
    case StandardStream::kError: return STD_ERROR_HANDLE;
  }
  return STD_OUTPUT_HANDLE;
}

}  // namespace

bool IsTerminal(StandardStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(HandleIdOf(stream)), &mode) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool ReadInputLine(std::string* line, const std::function<bool()>& keep_waiting) {
  line->clear();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(input, &mode) != 0;
  const bool pipe = GetFileType(input) == FILE_TYPE_PIPE;
  for (;;) {
    if (!keep_waiting()) return false;
    if (console) {
      // A console signals on any event (a key going up, a resize); only a
      // completed line is worth a blocking read, so wait for the Enter key.
      if (WaitForSingleObject(input, 100) != WAIT_OBJECT_0) continue;
      INPUT_RECORD records[64];
      DWORD count = 0;
      if (!PeekConsoleInputW(input, records, 64, &count)) return false;
      bool enter = false;
      for (DWORD i = 0; i < count; ++i) {
        if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown &&
            records[i].Event.KeyEvent.uChar.UnicodeChar == L'\r') {
          enter = true;
        }
      }
      if (!enter) {
        if (count == 64) FlushConsoleInputBuffer(input);
        Sleep(50);
        continue;
      }
    } else if (pipe) {
      DWORD available = 0;
      if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        return !line->empty();  // the writer has gone: end of input
      }
      if (available == 0) {
        Sleep(100);
        continue;
      }
    }
    // One byte at a time, so nothing after the line ending is taken from
    // whoever reads standard input next.
    char c;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return !line->empty();
    if (c == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    *line += c;
  }
}

bool SetInputEcho(bool on) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) return false;
  mode = on ? (mode | ENABLE_ECHO_INPUT) : (mode & ~DWORD{ENABLE_ECHO_INPUT});
  return SetConsoleMode(input, mode) != 0;
}

}  // namespace dizedir
