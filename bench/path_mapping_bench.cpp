// What the case-insensitive path mapping costs. Paths that exist with their
// exact name (nearly every lookup) should cost about what a plain existence
// check does; a miscased or missing name pays for a directory listing once,
// and later misses in the same directory should cost a few existence checks,
// not a listing each.
//
// After the Google Benchmark cases, the delete-list case: a list naming many
// packs that are not there, each checked with FileExists in a directory of
// several thousand entries. Printed per miss and as a ratio to one plain
// lstat of a missing name (std::filesystem::symlink_status); the goal is a
// small constant, whatever the number of misses and entries.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/env.h"

namespace {

using dizedir::Env;

// A directory of `files` entries under a fresh scratch directory.
std::string MakeDirectory(Env* env, int files) {
  std::array<uint8_t, 16> id{};
  env->NewGuid(&id);
  std::string dir = "/tmp/dizedir-bench-";
  for (const uint8_t b : id) dir += "0123456789abcdef"[b & 15];
  dir += "/Client/Qmz/Fodder";
  env->CreateDirectories(dir);
  for (int i = 0; i < files; ++i) {
    dizedir::WriteFileAtomically(env, dir + "/File" + std::to_string(i) + ".pac",
                                 "");
  }
  return dir;
}

// Removes what MakeDirectory made: the directory, its files and the parents
// up to the scratch directory.
void RemoveDirectory(Env* env, const std::string& dir) {
  std::vector<std::string> names;
  env->GetChildren(dir, &names);
  for (const std::string& name : names) env->DeleteFile(dir + "/" + name);
  std::string level = dir;
  for (int i = 0; i < 4; ++i) {
    env->DeleteDirectory(level);
    level = level.substr(0, level.find_last_of('/'));
  }
}

void BM_ExistsWithoutMapping(benchmark::State& state) {
  Env* env = Env::Default();
  const std::string dir = MakeDirectory(env, static_cast<int>(state.range(0)));
  const std::string path = dir + "/File0.pac";
  for (auto _ : state) benchmark::DoNotOptimize(env->IsDirectory(path));
  RemoveDirectory(env, dir);
}

void BM_MapExactName(benchmark::State& state) {
  Env* env = Env::Default();
  const std::string dir = MakeDirectory(env, static_cast<int>(state.range(0)));
  const std::string path = dir + "\\File0.pac";
  for (auto _ : state) benchmark::DoNotOptimize(env->NativePath(path));
  RemoveDirectory(env, dir);
}

void BM_MapMiscasedName(benchmark::State& state) {
  Env* env = Env::Default();
  const std::string dir = MakeDirectory(env, static_cast<int>(state.range(0)));
  const std::string path = dir + "\\FILE0.PAC";
  for (auto _ : state) benchmark::DoNotOptimize(env->NativePath(path));
  RemoveDirectory(env, dir);
}

void BM_MapMissingName(benchmark::State& state) {
  Env* env = Env::Default();
  const std::string dir = MakeDirectory(env, static_cast<int>(state.range(0)));
  const std::string path = dir + "\\new.pac";
  for (auto _ : state) benchmark::DoNotOptimize(env->NativePath(path));
  RemoveDirectory(env, dir);
}

BENCHMARK(BM_ExistsWithoutMapping)->Arg(10)->Arg(1000);
BENCHMARK(BM_MapExactName)->Arg(10)->Arg(1000);
BENCHMARK(BM_MapMiscasedName)->Arg(10)->Arg(1000);
BENCHMARK(BM_MapMissingName)->Arg(10)->Arg(1000);

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// Seconds per plain lstat of a name missing from `dir`, a different name
// each time as the misses have: the floor any existence check of a missing
// file pays.
double LstatSeconds(const std::string& dir, const std::string& prefix,
                    int calls) {
  std::error_code error;
  int found = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    const std::filesystem::path path =
        dir + "/" + prefix + std::to_string(i) + ".pac";
    found += std::filesystem::exists(std::filesystem::symlink_status(path, error));
  }
  benchmark::DoNotOptimize(found);
  return SecondsSince(start) / calls;
}

// `misses` distinct missing packs, each checked once, as a delete list
// names them: below the directory's own name, or below its parents' names
// in other case (each miss then also maps two directories). The best of a
// few rounds, each with names not seen before, as the machine may be busy.
void DeleteListMisses(int misses, int entries, bool miscased_parents) {
  constexpr int kRounds = 3;
  Env* env = Env::Default();
  const std::string dir = MakeDirectory(env, entries);
  const std::string windows_dir =
      miscased_parents
          ? dir.substr(0, dir.size() - std::string("/Qmz/Fodder").size()) +
                "\\QMZ\\fodder"
          : dir;
  double best = 1e9, best_lstat = 1e9;
  int found = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string prefix = "Missing" + std::to_string(round) + "-";
    best_lstat = std::min(
        best_lstat, LstatSeconds(dir, "Absent" + std::to_string(round) + "-",
                                 misses));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < misses; ++i) {
      found += env->FileExists(windows_dir + "\\" + prefix +
                               std::to_string(i) + ".PAC");
    }
    best = std::min(best, SecondsSince(start));
  }
  RemoveDirectory(env, dir);
  const double per_miss = best / misses;
  const double lstat = best_lstat;
  std::printf(
      "delete list: %5d misses in %d entries%s: %8.3f s, %8.2f us per "
      "miss, lstat %.2f us, ratio per miss to lstat %.1f%s\n",
      misses, entries, miscased_parents ? " (parents miscased)" : "", best,
      per_miss * 1e6, lstat * 1e6, per_miss / lstat,
      found == 0 ? "" : " (unexpected hits)");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const bool miscased_parents : {false, true}) {
    for (const int misses : {1000, 8000}) {
      DeleteListMisses(misses, 4000, miscased_parents);
    }
  }
  return 0;
}
