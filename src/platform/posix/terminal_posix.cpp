#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace dizedir {
namespace {

int DescriptorOf(StandardStream stream) {
  switch (stream) {
    case StandardStream::kInput: return STDIN_FILENO;
    case StandardStream::kOutput: return STDOUT_FILENO;
    case StandardStream::kError: return STDERR_FILENO;
  }
  return -1;
}

}  // namespace

bool IsTerminal(StandardStream stream) { return isatty(DescriptorOf(stream)) == 1; }

int TerminalColumns() {
  struct winsize size = {};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool ReadInputLine(std::string* line, const std::function<bool()>& keep_waiting) {
  line->clear();
  for (;;) {
    if (!keep_waiting()) return false;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    // One byte at a time, so nothing after the line ending is taken from
    // whoever reads standard input next.
    char c;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    if (n == 0) return !line->empty();
    if (c == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    *line += c;
  }
}

bool SetInputEcho(bool on) {
  struct termios mode = {};
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return false;
  if (on) {
    mode.c_lflag |= ECHO;
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  return tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) == 0;
}

}  // namespace dizedir
