#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/start_program.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::string ReadWhenWritten(const fs::path& path) {
  // The program runs on its own; its report arrives when it arrives.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return ReadBytes(path);
}

void WriteScript(const fs::path& path, const std::string& body, fs::perms perms) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, perms);
}

// The program runs in the directory it was given, with none of this
// process's descriptors (a launcher's listening socket would otherwise stay
// bound as long as the game runs), and what cannot run says so.
TEST(StartProgramTest, StartsDetachedInItsDirectory) {
  ScratchDir scratch("start_program");
  const fs::path work = scratch.path() / "game dir";
  fs::create_directories(work);
  // A descriptor without close-on-exec, as a library's socket may be.
  const int inherited = ::open(scratch.path().c_str(), O_RDONLY);
  ASSERT_GE(inherited, 0);
  const int probe = ::dup2(inherited, 57);
  ASSERT_EQ(probe, 57);
  const fs::path report = scratch.path() / "report";
  WriteScript(work / "game.sh",
              "pwd > '" + report.string() + ".tmp'\n"
              "if [ -e /proc/$$/fd/57 ]; then echo inherited; else echo clean; fi >> '" +
                  report.string() + ".tmp'\n"
              "mv '" + report.string() + ".tmp' '" + report.string() + "'\n",
              fs::perms::owner_all);
  WriteScript(work / "plain.sh", "exit 0\n", fs::perms::owner_read | fs::perms::owner_write);

  struct Case {
    const char* name;
    fs::path program;
    bool ok;
  };
  const Case cases[] = {
      {"runs", work / "game.sh", true},
      {"missing", work / "absent.sh", false},
      {"not executable", work / "plain.sh", false},
      {"a directory", work, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = StartDetachedProgram(c.program.string(), work.string());
    EXPECT_EQ(s.ok(), c.ok) << s.ToString();
  }
  ::close(probe);
  ::close(inherited);
  EXPECT_EQ(ReadWhenWritten(report), fs::canonical(work).string() + "\nclean\n");
}

}  // namespace
}  // namespace dizedir
