// dizedir-pack driven as a program: its commands, their exit codes and what
// they leave on disk; and a crash test that kills it at random points while
// it rewrites a pack.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "codec/md5.h"
#include "pack/pack.h"
#include "platform/env.h"
#include "support/file_bytes.h"
#include "support/subprocess.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::string Contents(uint32_t id) {
  std::mt19937 rng(id);
  std::string s(256 << 10, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 16);  // compressible, slowly
  return s;
}

int RunTool(const std::vector<std::string>& args) {
  std::unique_ptr<Subprocess> child;
  if (!Subprocess::Spawn(DIZEDIR_PACK_TOOL, args, Subprocess::Options::Quiet(), &child).ok()) {
    return -1000;
  }
  return child->Wait();
}

// Flips one byte of the file at `from_end` bytes before its end.
void Damage(const std::string& path, size_t from_end) {
  std::string bytes = ReadBytes(path);
  bytes[bytes.size() - from_end] ^= 0x55;
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(PackToolTest, CommandsAndExitCodes) {
  std::random_device rd;
  const fs::path dir =
      fs::temp_directory_path() / ("dizedir-pack-tool-" + std::to_string(rd()));
  fs::create_directories(dir);
  const std::string pack = (dir / "p.pac").string();
  const std::string one = (dir / "one").string();
  const std::string two = (dir / "two").string();
  std::ofstream(one) << std::string(3000, 'a');
  std::ofstream(two) << "second";
  Env* env = Env::Default();

  constexpr int kUsageError = -1;  // any code the argument parser picks
  struct Step {
    std::vector<std::string> args;
    int exit_code;
  };
  const Step steps[] = {
      {{"add", pack, "5", one}, 0},
      {{"add", pack, "6", two, "--raw"}, 0},
      {{"add", pack, "7", two}, 0},
      {{"add", pack, "5", two, "--raw"}, 0},  // replaces
      {{"rm", pack, "7", "8"}, 0},
      {{"ls", pack, "--json"}, 0},
      {{"cat", pack, "6"}, 0},
      {{"cat", pack, "7"}, 1},
      {{"verify", pack}, 0},
      {{"extract", pack, (dir / "out").string()}, 0},
      {{"ls", one}, 1},  // not a pack
      {{"add", pack, "x", one}, kUsageError},
  };
  for (const Step& step : steps) {
    std::string line;
    for (const std::string& a : step.args) line += a + " ";
    const int code = RunTool(step.args);
    if (step.exit_code == kUsageError) {
      EXPECT_GT(code, 1) << line;
    } else {
      EXPECT_EQ(code, step.exit_code) << line;
    }
  }
  PackArchive* a = PackOpenReadOnly(env, pack);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackGetCount(a), 2u);
  int compressed = -1;
  ASSERT_EQ(PackIsCompressed(5, a, &compressed), 1);
  EXPECT_EQ(compressed, 0);
  PackClose(a);
  EXPECT_EQ(ReadBytes(dir / "out" / "5"), "second");
  EXPECT_EQ(ReadBytes(dir / "out" / "6"), "second");

  // A damaged block fails verification; so does a compressed block that
  // no longer inflates even when its digest was made to match.
  Damage(pack, 1);
  EXPECT_EQ(RunTool({"verify", pack}), 1);
  EXPECT_EQ(RunTool({"add", pack, "5", two, "--raw"}), 0);  // repairs entry 5
  EXPECT_EQ(RunTool({"verify", pack}), 1) << "entry 6 is still damaged";
  EXPECT_EQ(RunTool({"rm", pack, "5", "6"}), 0);
  EXPECT_EQ(RunTool({"add", pack, "9", one}), 0);
  EXPECT_EQ(RunTool({"verify", pack}), 0);
  {
    // Rewrite entry 9's block as garbage of the same length with its digest.
    a = PackOpenReadOnly(env, pack);
    PackEntryInfo info;
    ASSERT_EQ(PackGetEntryInfo(9, a, &info), 1);
    PackClose(a);
    std::string bytes = ReadBytes(pack);
    std::string garbage(info.stored_size, 'g');
    bytes.replace(info.offset, garbage.size(), garbage);
    const std::string digest = Md5Hex(garbage);
    bytes.replace(8 + 20, 32, digest);
    std::ofstream(pack, std::ios::binary) << bytes;
  }
  EXPECT_EQ(RunTool({"verify", pack}), 1);
  fs::remove_all(dir);
}

TEST(PackCrashTest, KilledSaveLeavesOldOrNewPack) {
  std::random_device rd;
  const fs::path dir = fs::temp_directory_path() /
                       ("dizedir-pack-crash-" + std::to_string(rd()));
  fs::create_directories(dir);
  const std::string pack = (dir / "game.pac").string();
  Env* env = Env::Default();
  std::mt19937 rng(rd());

  uint32_t committed = 0;  // entries 0 .. committed-1 are in the pack
  int interrupted = 0;
  // How long one whole add takes here (sanitizer builds start far slower),
  // so that kills spread over the whole run, not only its start. Every
  // fourth add runs to its end and refreshes the figure as the pack grows.
  int64_t run_micros = 20000;
  for (int round = 0; round < 40; ++round) {
    const bool let_finish = round % 4 == 0;
    const std::string input = (dir / "in.bin").string();
    std::ofstream(input, std::ios::binary) << Contents(committed);
    std::unique_ptr<Subprocess> child;
    ASSERT_TRUE(Subprocess::Spawn(DIZEDIR_PACK_TOOL,
                                  {"add", pack, std::to_string(committed), input},
                                  Subprocess::Options::Quiet(), &child)
                    .ok());
    const auto started = std::chrono::steady_clock::now();
    if (!let_finish) {
      const auto limit = static_cast<uint64_t>(run_micros * 3 / 2) + 1;
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % limit));
      child->Kill();
    }
    const int result = child->Wait();
    ASSERT_TRUE(result == 0 || (result < 0 && !let_finish)) << "exit " << result;
    if (let_finish) {
      run_micros = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now() - started)
                       .count();
    }

    PackArchive* a = PackOpenReadOnly(env, pack);
    if (committed == 0 && a == nullptr) {
      ASSERT_FALSE(fs::exists(pack)) << "a pack that exists must load";
      continue;
    }
    ASSERT_NE(a, nullptr) << "round " << round;
    const uint32_t count = PackGetCount(a);
    ASSERT_TRUE(count == committed || count == committed + 1)
        << "count " << count << " after " << committed;
    if (count == committed) ++interrupted;
    committed = count;
    for (uint32_t id = 0; id < count; ++id) {
      uint32_t size = 0;
      ASSERT_EQ(PackRead(nullptr, &size, id, a), 1) << "entry " << id;
      std::string out(size, '\0');
      ASSERT_EQ(PackRead(out.data(), &size, id, a), 1);
      ASSERT_TRUE(out == Contents(id)) << "entry " << id;
    }
    PackClose(a);
  }
  // Both outcomes must have been seen for the test to mean anything.
  EXPECT_GT(interrupted, 0);
  EXPECT_GT(committed, 0u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace dizedir
