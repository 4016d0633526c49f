// Kills dizedir-pack at random points while it rewrites a pack: afterwards
// the pack must always load, holding either the entries from before the
// interrupted add or those from after it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "pack/pack.h"
#include "platform/env.h"
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
  for (int round = 0; round < 40; ++round) {
    const std::string input = (dir / "in.bin").string();
    std::ofstream(input, std::ios::binary) << Contents(committed);
    std::unique_ptr<Subprocess> child;
    ASSERT_TRUE(Subprocess::Spawn(DIZEDIR_PACK_TOOL,
                                  {"add", pack, std::to_string(committed), input},
                                  {.quiet = true}, &child)
                    .ok());
    // Half the kills land early (start-up, reading, writing), half anywhere.
    const unsigned limit = rng() % 2 ? 3000 : 40000;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % limit));
    child->Kill();
    const int result = child->Wait();
    ASSERT_TRUE(result == 0 || result < 0) << "exit " << result;

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
