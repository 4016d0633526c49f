#include "tools/sample_client/sample_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "pack/pack.h"
#include "platform/env.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

// The contents of entry `id` of the pack at `path`; nullopt when the pack
// does not load or has no such entry.
std::optional<std::string> Entry(const std::string& path, uint32_t id) {
  PackArchive* pack = PackOpenReadOnly(Env::Default(), path);
  if (pack == nullptr) return std::nullopt;
  uint32_t size = 0;
  std::optional<std::string> contents;
  if (PackRead(nullptr, &size, id, pack) == 1) {
    std::string bytes(size, '\0');
    if (PackRead(bytes.data(), &size, id, pack) == 1) contents = bytes;
  }
  PackClose(pack);
  return contents;
}

uint32_t EntryCount(const std::string& path) {
  PackArchive* pack = PackOpenReadOnly(Env::Default(), path);
  const uint32_t count = PackGetCount(pack);
  PackClose(pack);
  return count;
}

// What the demo publishes, updates, damages and repairs relies on each of
// these.
TEST(SampleClientTest, VersionsDifferAsTheDemoExpects) {
  ScratchDir scratch("sample_client");
  const std::string dir = scratch.path().string();
  ASSERT_TRUE(WriteSampleClient(Env::Default(), dir, 7).ok());
  const auto file = [&](const std::string& name) { return scratch.Read(name); };
  const auto exists = [&](const std::string& name) { return scratch.Exists(name); };
  const auto entry = [&](const std::string& version, const std::string& pack, uint32_t id) {
    return Entry(dir + "/" + version + "/qmz/fodder/" + pack, id);
  };
  struct Case {
    const char* name;
    std::function<bool()> holds;
  };
  const Case cases[] = {
      {"v1 packs", [&] {
         return EntryCount(dir + "/v1/qmz/fodder/items.pac") == 2000 &&
                EntryCount(dir + "/v1/qmz/fodder/maps.pac") == 1001 &&
                entry("v1", "items.pac", 10).value_or("").size() == 100 + 530;
       }},
      {"v2 rewrites tiles and changes, adds and removes item entries", [&] {
         return file("v2/data/zone3/tile3.dat") != file("v1/data/zone3/tile3.dat") &&
                file("v2/data/zone4/tile4.dat") == file("v1/data/zone4/tile4.dat") &&
                entry("v2", "items.pac", 3) != entry("v1", "items.pac", 3) &&
                entry("v2", "items.pac", 4) == entry("v1", "items.pac", 4) &&
                !entry("v2", "items.pac", 5) && entry("v2", "items.pac", 2050).has_value();
       }},
      {"v2 moves 5001 unchanged", [&] {
         return entry("v2", "items.pac", 5001) == entry("v1", "maps.pac", 5001) &&
                !entry("v2", "maps.pac", 5001);
       }},
      {"v3 removes two files and keeps what the repair demo damages", [&] {
         return !exists("v3/bin/readme.txt") && !exists("v3/data/zone0/tile0.dat") &&
                file("v3/data/zone3/tile3.dat") == file("v2/data/zone3/tile3.dat") &&
                entry("v3", "items.pac", 10) == entry("v1", "items.pac", 10) &&
                EntryCount(dir + "/v3/qmz/fodder/maps.pac") == 1000 + 300;
       }},
      {"v4 is v3 and an extra", [&] {
         return file("v4/hd/textures.bin").size() == 4096 * 1024 && !exists("v3/hd") &&
                file("v4/data/world map.bin") == file("v3/data/world map.bin");
       }},
  };
  for (const Case& c : cases) EXPECT_TRUE(c.holds()) << c.name;

  // Every pack loads and every entry checks, as a client merging them needs.
  for (const char* version : {"v1", "v2", "v3", "v4"}) {
    for (const char* pack : {"items.pac", "maps.pac"}) {
      const std::string path = dir + "/" + version + "/qmz/fodder/" + pack;
      EXPECT_TRUE(PackCheck(Env::Default(), path, pack).ok()) << path;
    }
  }
  // Never over an earlier run's files.
  EXPECT_EQ(WriteSampleClient(Env::Default(), dir, 7).code(), Status::Code::kInvalidArgument);
}

}  // namespace
}  // namespace dizedir
