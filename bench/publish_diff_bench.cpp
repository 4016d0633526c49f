// The cost of `dizedir-publish diff` against `diff -rq` over the same two
// trees in the same run: the diff reads both trees as diff -rq does and also
// builds the patch (packs of the changed entries, deflated files, the zip).
// The goal is at most twice diff -rq's time.
//
//   publish_diff_bench [MiB of plain files] [pack entries] [work dir] [level]
//                      [threads] [rounds]
//
// level is the deflate level (the diff's default when absent), threads the
// zip writer's deflating threads (0, one per processor, when absent).
//
// Defaults: 1024 MiB of plain files and 100000 pack entries, in the system's
// temporary directory, 3 rounds. Each round times diff -rq and then the
// diff; prints every round, the best time of each and the median of the
// rounds' ratios (the machine may be busy with other work).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/env.h"
#include "tools/publish/tree_diff.h"

namespace fs = std::filesystem;
using namespace dizedir;

namespace {

struct Random {
  uint64_t state;
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  // Half random, half repeated: deflate has real work and real gains.
  std::string Bytes(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
      const uint64_t v = (i / 8) % 2 ? Next() : 0x2020202061616161ull;
      std::memcpy(out.data() + i, &v, 8);
    }
    return out;
  }
};

void WriteFile(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint32_t entries = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
  const fs::path root = argc > 3 ? fs::path(argv[3])
                                 : fs::temp_directory_path() / "dizedir_diff_bench";
  dizedir::publish::TreeDiffOptions options;
  if (argc > 4) options.zip.level = std::atoi(argv[4]);
  if (argc > 5) options.zip.threads = static_cast<unsigned>(std::atoi(argv[5]));
  const int rounds = argc > 6 ? std::max(1, std::atoi(argv[6])) : 3;
  fs::remove_all(root);
  const fs::path old_tree = root / "old", new_tree = root / "new";
  Random random{0x9E3779B97F4A7C15ull};
  Env* env = Env::Default();

  // Plain files of 1 MiB in nested directories; one in twenty changes in
  // the new tree, one in a hundred goes, a few are added.
  const uint64_t files = mib;
  for (uint64_t i = 0; i < files; ++i) {
    const std::string rel = "data/d" + std::to_string(i % 37) + "/f" + std::to_string(i) + ".bin";
    const std::string data = random.Bytes(1 << 20);
    WriteFile(old_tree / rel, data);
    if (i % 100 == 1) continue;
    WriteFile(new_tree / rel, i % 20 == 3 ? random.Bytes(1 << 20) : data);
  }
  for (int i = 0; i < 10; ++i) {
    WriteFile(new_tree / ("data/new/n" + std::to_string(i)), random.Bytes(100000));
  }
  // Packs of about 1 KiB entries; one in a hundred entries changes, one in
  // two hundred goes, one in five hundred moves to the next pack.
  const uint32_t packs = 20;
  PackArchive* old_packs[packs];
  PackArchive* new_packs[packs];
  for (uint32_t p = 0; p < packs; ++p) {
    std::string name = "p";
    name += std::to_string(p);
    name += ".pac";
    const fs::path rel = fs::path("qmz/fodder") / name;
    fs::create_directories((old_tree / rel).parent_path());
    fs::create_directories((new_tree / rel).parent_path());
    old_packs[p] = PackOpenForUpdate(env, (old_tree / rel).string());
    new_packs[p] = PackOpenForUpdate(env, (new_tree / rel).string());
  }
  for (uint32_t id = 0; id < entries; ++id) {
    const uint32_t p = id % packs;
    const std::string data = random.Bytes(1024);
    PackAdd(id, data.data(), static_cast<uint32_t>(data.size()), old_packs[p], 1, nullptr);
    if (id % 200 == 7) continue;
    const uint32_t target = id % 500 == 11 ? (p + 1) % packs : p;
    const std::string next = id % 100 == 5 ? random.Bytes(1024) : data;
    PackAdd(id, next.data(), static_cast<uint32_t>(next.size()), new_packs[target], 1, nullptr);
  }
  for (uint32_t p = 0; p < packs; ++p) {
    PackClose(old_packs[p]);
    PackClose(new_packs[p]);
  }
  // Both runs should meet the same warm page cache, and neither should share
  // the disk with the write-back of the trees just made.
  std::system("sync");
  std::system(("cat -- $(find '" + root.string() + "' -type f) > /dev/null").c_str());

  const std::string command = "diff -rq '" + old_tree.string() + "' '" +
                              new_tree.string() + "' > /dev/null";
  std::vector<double> references, times, ratios;
  dizedir::publish::TreeDiffResult result;
  int rc = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    rc = std::system(command.c_str());
    references.push_back(Seconds(start));

    fs::remove_all(root / "patch");
    start = std::chrono::steady_clock::now();
    const dizedir::Status s = dizedir::publish::DiffTrees(
        env, old_tree.string(), new_tree.string(), (root / "patch").string(), options, &result);
    times.push_back(Seconds(start));
    if (!s.ok()) {
      std::fprintf(stderr, "diff failed: %s\n", s.ToString().c_str());
      return 1;
    }
    ratios.push_back(times.back() / references.back());
    std::printf("round %d: diff -rq %.3f s, dizedir-publish diff %.3f s, ratio %.2f\n",
                round + 1, references.back(), times.back(), ratios.back());
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("trees: %llu MiB of files, %u pack entries; diff -rq exit %d\n",
              static_cast<unsigned long long>(mib), entries, rc >> 8);
  std::printf("diff -rq:             %8.3f s (best of %d)\n",
              *std::min_element(references.begin(), references.end()), rounds);
  std::printf("dizedir-publish diff: %8.3f s (best of %d; patch %llu bytes, %llu items, %zu moves)\n",
              *std::min_element(times.begin(), times.end()), rounds,
              static_cast<unsigned long long>(result.archive_bytes),
              static_cast<unsigned long long>(result.items), result.moves.size());
  std::printf("ratio: min %.2f, median %.2f (goal: at most 2.00), deflate level %d\n",
              ratios.front(), ratios[ratios.size() / 2], options.zip.level);
  fs::remove_all(root);
  return 0;
}
