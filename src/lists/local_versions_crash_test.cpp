#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "lists/crash_lists.h"
#include "support/scratch_dir.h"
#include "lists/version_lists.h"
#include "support/subprocess.h"

namespace dizedir {
namespace {

// A writer killed at any moment leaves curver.bin as one of the two whole
// lists it writes, never a truncated or mixed one.
TEST(LocalVersionsCrashTest, KilledWriterLeavesAWholeList) {
  ScratchDir dir;
  const std::string path = dir.Path("curver.bin");
  const std::string lists[2] = {EncodeLocalVersions(CrashTestList(0)),
                                EncodeLocalVersions(CrashTestList(1))};
  ASSERT_TRUE(dir.Write("curver.bin", lists[0]));

  std::mt19937 rng(20240601);
  int seen[2] = {0, 0};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::unique_ptr<Subprocess> writer;
    Subprocess::Options options;
    options.quiet = true;
    ASSERT_TRUE(Subprocess::Spawn(CURVER_WRITER, {path}, options, &writer).ok());
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
    writer->Kill();
    EXPECT_LT(writer->Wait(), 0) << "writer stopped by itself";

    const std::string data = dir.Read("curver.bin");
    const bool whole = data == lists[0] || data == lists[1];
    EXPECT_TRUE(whole) << "curver.bin of " << data.size() << " bytes";
    seen[data == lists[1]]++;
    std::vector<LocalVersionRecord> records;
    EXPECT_TRUE(DecodeLocalVersions(data, &records));
    // Stale temporaries may remain from the kill; the list itself is sound.
  }
  // The writer made progress in at least some rounds.
  EXPECT_GT(seen[1], 0);
}

}  // namespace
}  // namespace dizedir
