// tree_repair_bench [DIR]: on a client of 1 GiB (two packs of 50 000 raw
// entries each, 1 to 15 KiB apiece, and 48 plain files of 4 MiB), times
// VerifyClientTree against the client's own manifest and `md5sum` over the
// same files, both from a warm cache, best of a few rounds, and reports the
// verify's peak resident memory.
// Goals: verify <= 1.3x md5sum; peak well under the 30 MiB a full pack
// table may take.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "codec/md5.h"
#include "engine/tree_repair.h"
#include "pack/pack.h"
#include "platform/env.h"

namespace {

namespace fs = std::filesystem;
using dizedir::bench::Clock;
using dizedir::bench::PeakRssKiB;
using dizedir::bench::ResetPeakRss;
using dizedir::bench::Seconds;

constexpr uint32_t kEntriesPerPack = 50000;
constexpr int kPacks = 2;
constexpr int kFiles = 48;
constexpr size_t kFileBytes = size_t{4} << 20;
constexpr int kRounds = 3;

uint64_t Next(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

std::string Random(size_t n, uint64_t* state) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t v = Next(state);
    for (size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// Writes the pack straight in the file format, making each block twice
// from the same state (once for its row, once for the file): building it
// through an archive, or holding the blocks, would leave the process's
// heap large before the verify is measured.
void WritePack(const std::string& path, uint64_t* state) {
  const uint64_t start_state = *state;
  std::string out;
  PutU32(&out, 0);
  PutU32(&out, kEntriesPerPack);
  uint64_t offset = dizedir::kPackHeaderSize + uint64_t{dizedir::kPackRowSize} * kEntriesPerPack;
  for (uint32_t id = 0; id < kEntriesPerPack; ++id) {
    const std::string block = Random(1024 + Next(state) % (14 * 1024), state);
    const uint32_t size = static_cast<uint32_t>(block.size());
    PutU32(&out, id);
    PutU32(&out, static_cast<uint32_t>(offset));
    PutU32(&out, size);
    PutU32(&out, size);
    PutU32(&out, 0);
    out += dizedir::Md5Hex(block);
    out.push_back('\0');
    offset += size;
  }
  std::ofstream file(path, std::ios::binary);
  file << out;
  *state = start_state;
  for (uint32_t id = 0; id < kEntriesPerPack; ++id) {
    file << Random(1024 + Next(state) % (14 * 1024), state);
  }
}

std::string Name(const char* stem, int n, const char* extension) {
  std::string name = stem;
  name += std::to_string(n);
  name += extension;
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir =
      argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "dizedir-tree-repair-bench";
  const fs::path client = dir / "client";
  fs::remove_all(client);
  fs::create_directories(client / "data");
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (int p = 0; p < kPacks; ++p) {
    WritePack((client / "data" / Name("p", p, ".pac")).string(), &state);
  }
  for (int f = 0; f < kFiles; ++f) {
    std::ofstream((client / "data" / Name("f", f, ".bin")).string(), std::ios::binary)
        << Random(kFileBytes, &state);
  }

  dizedir::Env* env = dizedir::Env::Default();
  const std::string client_dir = client.string() + "/";
  dizedir::TreeManifest manifest;
  dizedir::Status s = dizedir::ScanClientTree(
      env, client_dir, [](std::string_view) { return true; }, &manifest);
  if (!s.ok()) {
    std::fprintf(stderr, "scan: %s\n", s.ToString().c_str());
    return 1;
  }
  uint64_t bytes = 0;
  for (const auto& f : manifest.files) bytes += f.size;
  for (const auto& p : manifest.packs) {
    for (const auto& e : p.entries) bytes += e.stored_size;
  }

  const std::string md5sum = "md5sum " + (client / "data").string() + "/* > /dev/null";
  if (std::system(md5sum.c_str()) != 0) return 1;  // warms the cache
  double md5_best = 1e9, verify_best = 1e9;
  long peak = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    if (std::system(md5sum.c_str()) != 0) return 1;
    md5_best = std::min(md5_best, Seconds(start));

    ResetPeakRss();
    std::vector<dizedir::TreeFinding> findings;
    start = Clock::now();
    s = dizedir::VerifyClientTree(env, client_dir, manifest, nullptr, &findings);
    verify_best = std::min(verify_best, Seconds(start));
    peak = std::max(peak, PeakRssKiB());
    if (!s.ok() || !findings.empty()) {
      std::fprintf(stderr, "verify: %s, %zu findings\n", s.ToString().c_str(), findings.size());
      return 1;
    }
  }
  const double ratio = verify_best / md5_best;
  std::printf("client: %.0f MiB, %u entries in %d packs, %d files\n",
              static_cast<double>(bytes) / (1 << 20), kEntriesPerPack * kPacks, kPacks, kFiles);
  std::printf("md5sum %.3f s, verify %.3f s: %.2fx (goal <= 1.3x: %s)\n", md5_best, verify_best,
              ratio, ratio <= 1.3 ? "met" : "MISSED");
  std::printf("verify peak resident memory (whole process, manifest included): %ld KiB\n", peak);
  fs::remove_all(client);
  return 0;
}
