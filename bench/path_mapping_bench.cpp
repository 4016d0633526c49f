// What the case-insensitive path mapping costs. Paths that exist with their
// exact name (nearly every lookup) should cost about what a plain existence
// check does; only a miscased or missing name pays for a directory listing,
// which grows with the size of the directory.

#include <benchmark/benchmark.h>

#include <array>
#include <string>
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

}  // namespace

BENCHMARK_MAIN();
