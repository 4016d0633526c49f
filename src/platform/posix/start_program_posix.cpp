#include "platform/start_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace dizedir {
namespace {

Status ErrnoStatus(const std::string& context, int error) {
  std::string message = context;
  message.append(": ").append(std::strerror(error));
  return Status::IOError(message);
}

// Writes all of an int, for the child's report of why exec failed.
void WriteErrno(int fd, int error) {
  const char* p = reinterpret_cast<const char*>(&error);
  size_t left = sizeof error;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// The grandchild's side, after the second fork: only async-signal-safe
// calls, since the parent may have had other threads at the fork.
[[noreturn]] void ExecInChild(const char* program, char* const* argv, const char* working_dir,
                              int null_fd, int report_fd, int max_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD}) sigaction(signal, &default_action, nullptr);
  if (working_dir != nullptr && ::chdir(working_dir) != 0) {
    WriteErrno(report_fd, errno);
    _exit(127);
  }
  // The report pipe moves to descriptor 3, so that everything above it can
  // be closed in one call: the launcher's listening socket among them.
  if (::dup2(null_fd, 0) < 0 || ::dup2(null_fd, 1) < 0 || ::dup2(null_fd, 2) < 0 ||
      ::dup2(report_fd, 3) < 0 || ::fcntl(3, F_SETFD, FD_CLOEXEC) != 0) {
    WriteErrno(report_fd, errno);
    _exit(127);
  }
  if (::close_range(4, ~0U, 0) != 0) {
    for (int fd = 4; fd < max_fd; ++fd) ::close(fd);
  }
  ::execv(program, argv);
  WriteErrno(3, errno);
  _exit(127);
}

// Starts `program` in a new session as a grandchild, so that it is nobody's
// child to reap and no signal from the terminal reaches it.
Status SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                     const std::string& working_dir) {
  std::vector<std::string> strings = args;
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return ErrnoStatus("pipe", errno);
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return ErrnoStatus("/dev/null", error);
  }
  const char* dir = working_dir.empty() ? nullptr : working_dir.c_str();
  // For a kernel without close_range: the descriptors to close one by one.
  const long open_max = ::sysconf(_SC_OPEN_MAX);
  const int max_fd = open_max > 0 && open_max < 65536 ? static_cast<int>(open_max) : 65536;
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ExecInChild(program.c_str(), argv.data(), dir, null_fd, report[1], max_fd);
    if (grandchild < 0) WriteErrno(report[1], errno);
    _exit(0);
  }
  const int fork_error = errno;
  ::close(report[1]);
  ::close(null_fd);
  if (child < 0) {
    ::close(report[0]);
    return ErrnoStatus("fork", fork_error);
  }
  int wait_status = 0;
  while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes without a word when exec succeeded.
  int error = 0;
  ssize_t n;
  while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) return ErrnoStatus(program, error);
  return Status::OK();
}

// The first executable `name` on PATH; empty when there is none.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty entry is the current directory.
    std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(".");
    candidate.append("/").append(name);
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

}  // namespace

Status StartDetachedProgram(const std::string& program, const std::string& working_dir) {
  return SpawnDetached(program, {program}, working_dir);
}

Status OpenInBrowser(const std::string& url) {
#if defined(__APPLE__)
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  const std::string path = FindOnPath(opener);
  if (path.empty()) return Status::NotFound(std::string(opener) + " is not installed");
  return SpawnDetached(path, {opener, url}, std::string());
}

}  // namespace dizedir
