#include "support/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace dizedir {

Status Subprocess::SpawnToFile(const std::string& program,
                               const std::vector<std::string>& args,
                               const std::string& output_file,
                               std::unique_ptr<Subprocess>* result) {
  Options options;
  options.output_file = output_file;
  return Spawn(program, args, options, result);
}

Status Subprocess::Spawn(const std::string& program,
                         const std::vector<std::string>& args,
                         const Options& options,
                         std::unique_ptr<Subprocess>* result) {
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.output_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                     options.output_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else if (options.quiet) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                     O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                     O_WRONLY, 0);
  }
  // The parent's descriptors must not be among the child numbers, or one
  // copy would overwrite another's source.
  for (const auto& [child_fd, parent_fd] : options.descriptors) {
    posix_spawn_file_actions_adddup2(&actions, parent_fd, child_fd);
  }
  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                                argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    return Status::IOError(program + ": " + std::strerror(error));
  }
  result->reset(new Subprocess(pid));
  return Status::OK();
}

int Subprocess::RunToFile(const std::string& program,
                          const std::vector<std::string>& args,
                          const std::string& output_file) {
  std::unique_ptr<Subprocess> child;
  if (!SpawnToFile(program, args, output_file, &child).ok()) return kSpawnFailed;
  return child->Wait();
}

std::string FindProgram(const std::string& name) {
  std::vector<std::string> dirs = {"/usr/sbin", "/usr/local/sbin", "/usr/bin",
                                   "/usr/local/bin", "/sbin", "/bin"};
  if (const char* path = std::getenv("PATH")) {
    std::string list(path);
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& dir : dirs) {
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int Subprocess::RunQuietly(const std::string& program,
                           const std::vector<std::string>& args,
                           std::optional<std::chrono::milliseconds> kill_after) {
  std::unique_ptr<Subprocess> child;
  if (!Spawn(program, args, Options::Quiet(), &child).ok()) return kSpawnFailed;
  if (kill_after) {
    std::this_thread::sleep_for(*kill_after);
    child->Kill();
  }
  return child->Wait();
}

Subprocess::~Subprocess() {
  if (!reaped_) {
    Kill(SIGKILL);
    Wait();
  }
}

void Subprocess::Kill(int signal) {
  if (!reaped_) ::kill(pid_, signal == 0 ? SIGKILL : signal);
}

int Subprocess::Wait() {
  if (reaped_) return result_;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      result_ = -1;
      reaped_ = true;
      return result_;
    }
  }
  reaped_ = true;
  if (WIFEXITED(status)) {
    result_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result_ = -WTERMSIG(status);
  } else {
    result_ = -1;
  }
  return result_;
}

}  // namespace dizedir
