// Test helper: rewrites curver.bin in a loop until killed, alternating two
// lists, so a crash test can stop it at any moment of a write.
// Usage: curver_writer PATH

#include <cstdio>
#include <string>

#include "lists/crash_lists.h"
#include "lists/version_lists.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: curver_writer PATH\n");
    return 2;
  }
  dizedir::Env* env = dizedir::Env::Default();
  dizedir::VersionLists lists[2];
  lists[0].localVersions = dizedir::CrashTestList(0);
  lists[1].localVersions = dizedir::CrashTestList(1);
  for (unsigned round = 0;; ++round) {
    if (!lists[round % 2].WriteLocalVersions(env, argv[1])) return 1;
  }
}
