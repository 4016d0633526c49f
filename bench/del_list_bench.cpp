// A del.txt naming many packs the client does not have, in a pack directory
// of a few thousand packs: the cost per named pack must not grow with the
// number of names (each one used to list the whole directory again). Prints
// the time per group at 1 000 and at 8 000 groups and their ratio (goal: at
// most 1.5, i.e. linear).

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/item_handlers.h"
#include "platform/env.h"

namespace {

namespace fs = std::filesystem;
constexpr int kClientPacks = 3000;

// Seconds for one run of a del.txt with `groups` groups over a fresh client.
double RunList(const fs::path& root, int groups) {
  dizedir::Env* env = dizedir::Env::Default();
  fs::remove_all(root);
  const fs::path packs = root / "Qmz" / "Fodder";
  fs::create_directories(packs);
  for (int i = 0; i < kClientPacks; ++i) {
    dizedir::WriteFileAtomically(env, (packs / ("Pack" + std::to_string(i) + ".pac")).string(),
                                 std::string(8, '\0'));
  }
  std::string list;
  for (int i = 0; i < groups; ++i) list += "Packet:missing" + std::to_string(i) + " 7\r\n";
  list += "end\r\n";
  dizedir::WriteFileAtomically(env, (root / "del.txt").string(), list);
  const auto start = std::chrono::steady_clock::now();
  const dizedir::Status s = dizedir::RunDeleteList(env, root.string() + "/", nullptr);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (!s.ok()) {
    std::fprintf(stderr, "del.txt failed: %s\n", s.ToString().c_str());
    return -1;
  }
  return took.count();
}

}  // namespace

int main() {
  const fs::path root = fs::temp_directory_path() / "dizedir-del-list-bench";
  const double small = RunList(root, 1000);
  const double large = RunList(root, 8000);
  fs::remove_all(root);
  if (small < 0 || large < 0) return 1;
  std::printf("del.txt, %d packs in the client, groups naming missing packs\n", kClientPacks);
  std::printf("  1000 groups: %.3f s (%.1f us a group)\n", small, small / 1000 * 1e6);
  std::printf("  8000 groups: %.3f s (%.1f us a group)\n", large, large / 8000 * 1e6);
  std::printf("  per-group ratio 8000/1000: %.2f (goal <= 1.5)\n", (large / 8000) / (small / 1000));
  return 0;
}
