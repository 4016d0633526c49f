// Split of a 256 MiB archive against `cat` of its parts (the same bytes read
// and written) in the same run, printed as a time ratio (goal: at most 1.2).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "lists/split_archive.h"
#include "platform/env.h"

namespace {

constexpr size_t kArchiveSize = size_t{256} << 20;
constexpr int kParts = 8;
constexpr int kRounds = 9;

// Each round first removes what the previous one wrote (untimed), so every
// contender writes fresh files and none pays for freeing the old ones.
template <typename P, typename F>
double BestSeconds(P&& prepare, F&& run) {
  double best = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    const std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

bool WriteArchive(dizedir::Env* env, const std::string& path) {
  std::unique_ptr<dizedir::WritableFile> file;
  if (!env->NewWritableFile(path, &file).ok()) return false;
  std::string chunk(size_t{1} << 20, '\0');
  uint32_t x = 1;
  for (size_t done = 0; done < kArchiveSize; done += chunk.size()) {
    for (auto& c : chunk) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    if (!file->Append(chunk).ok()) return false;
  }
  return file->Close().ok();
}

}  // namespace

int main() {
  dizedir::Env* env = dizedir::Env::Default();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / "dizedir-split-bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string base = dir.string() + "/";
  if (!WriteArchive(env, base + "arc.bin")) {
    std::printf("cannot write the archive under %s\n", base.c_str());
    return 1;
  }

  std::string parts;
  for (int i = 0; i < kParts; ++i) {
    parts += " '" + base + "arc_" + std::to_string(i) + ".zxp'";
  }
  const std::string cat_parts = "cat" + parts + " > '" + base + "cat.out'";

  auto remove_parts = [&] {
    for (int i = 0; i < kParts; ++i) {
      env->DeleteFile(base + "arc_" + std::to_string(i) + ".zxp");
    }
  };
  const double split_s = BestSeconds(
      remove_parts,
      [&] { return dizedir::SplitFile(env, base + "arc.bin", kParts); });
  const double cat_s =
      BestSeconds([&] { env->DeleteFile(base + "cat.out"); },
                  [&] { return std::system(cat_parts.c_str()) == 0; });
  // The parts end to end must be the archive again.
  const bool same = std::filesystem::file_size(base + "cat.out") == kArchiveSize &&
                    std::system(("cmp -s '" + base + "cat.out' '" + base +
                                 "arc.bin'").c_str()) == 0;
  std::filesystem::remove_all(dir);
  if (split_s < 0 || cat_s < 0 || !same) {
    std::printf("split failed or its parts differ from the archive\n");
    return 1;
  }
  const double mib = static_cast<double>(kArchiveSize) / (1 << 20);
  std::printf("SplitFile  %7.1f MiB/s\n", mib / split_s);
  std::printf("cat parts  %7.1f MiB/s\n", mib / cat_s);
  std::printf("ratio split/cat: %.3f (goal <= 1.2)\n", split_s / cat_s);
  return 0;
}
