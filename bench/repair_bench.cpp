// repair_bench: a release of about 200 MiB (plain files and two packs of
// 10 000 entries, compressible and not) published with its tree by
// dizedir-publish and served on loopback; a client installed from nothing
// by `dizedir install --from`, then 1% of its bytes damaged at random (in
// plain files and inside pack entries) and put right by `dizedir repair`.
// Prints the bytes the repair fetched against the stored size of the
// objects of what was damaged (goal: at most 1.1), and the times of the
// install, the verify that finds the damage and the repair.
//
//   repair_bench [SEED]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "lists/content_store.h"
#include "lists/tree_manifest.h"
#include "pack/pack.h"
#include "platform/env.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

constexpr int kFiles = 48;
constexpr int kPacks = 2;
constexpr int kEntriesPerPack = 10000;

class Maker {
 public:
  explicit Maker(uint32_t seed) : random_(seed) {}
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  // Half of the contents compress like game text, half not at all.
  std::string Bytes(size_t n) {
    std::string out(n, '\0');
    const bool text = Between(0, 1) == 0;
    for (char& c : out) c = static_cast<char>(text ? 'a' + Between(0, 20) : Between(0, 255));
    return out;
  }

 private:
  std::mt19937 random_;
};

int Run(const std::string& program, const std::vector<std::string>& args, const fs::path& log) {
  return Subprocess::RunToFile(program, args, log.string());
}

// A manifest path below the client directory, as this system spells it.
fs::path OnDisk(const fs::path& client, const std::string& path) {
  std::string relative = path;
  for (char& c : relative) c = c == '\\' ? '/' : c;
  return client / relative;
}

// Overwrites `length` bytes at `offset` of the file with other bytes.
void Garble(const fs::path& path, uint64_t offset, size_t length, Maker* maker) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  file.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(length));
  for (char& c : bytes) c = static_cast<char>(c ^ (1 + maker->Between(0, 254)));
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(length));
}

int Main(uint32_t seed) {
  ScratchDir scratch("repair_bench");
  const fs::path dir = scratch.path();
  TestHttpServer server;
  if (!server.started()) return 1;
  Maker maker(seed);
  Env* env = Env::Default();

  std::printf("== making the release (seed %u)\n", seed);
  const fs::path tree = dir / "v1";
  fs::create_directories(tree / "data");
  fs::create_directories(tree / "qmz/fodder");
  WriteBytes(tree / "IPconfig.dat", ShiftedHost(server.host_port()));
  for (int f = 0; f < kFiles; ++f) {
    WriteBytes(tree / "data" / ("f" + std::to_string(f) + ".bin"),
               maker.Bytes(static_cast<size_t>(maker.Between(1 << 20, 3 << 20))));
  }
  for (int p = 0; p < kPacks; ++p) {
    // Added in batches, saved between, so the writer never holds a whole
    // pack's contents.
    const std::string path = (tree / "qmz/fodder" / ("p" + std::to_string(p) + ".pac")).string();
    for (int batch = 0; batch < 10; ++batch) {
      PackArchive* pack = PackOpenForUpdate(env, path);
      for (int e = 0; e < kEntriesPerPack / 10; ++e) {
        const std::string data = maker.Bytes(static_cast<size_t>(maker.Between(1024, 8192)));
        PackAdd(static_cast<uint32_t>(batch * kEntriesPerPack / 10 + e), data.data(),
                static_cast<uint32_t>(data.size()), pack, maker.Between(0, 1), nullptr);
      }
      if (PackClose(pack) != 1) return 1;
    }
  }
  const fs::path release = dir / "rel";
  auto start = Clock::now();
  if (Run(DIZEDIR_PUBLISH_PROGRAM, {"release", release.string(), "--init", "--from", tree.string()},
          dir / "publish.log") != 0) {
    std::fprintf(stderr, "%s", ReadBytes(dir / "publish.log").c_str());
    return 1;
  }
  std::printf("published in %.1f s\n", Seconds(start));
  WriteBytes(release / "patchone.ini",
             "[Region1]\r\nlist=main\r\nmain=" + server.host_port() + "\r\n");
  server.ServeDirectory(release.string());
  TreeManifest manifest;
  if (!ParseTreeManifest(ReadBytes(release / TreeManifestFileName(1)), &manifest).ok()) return 1;
  uint64_t tree_bytes = 0;
  for (const TreeFile& f : manifest.files) tree_bytes += f.size;
  for (const TreePack& p : manifest.packs) {
    for (const TreePackEntry& e : p.entries) tree_bytes += e.stored_size;
  }

  std::printf("== installing a client from nothing\n");
  const fs::path client = dir / "client";
  start = Clock::now();
  if (Run(DIZEDIR_HOST_PROGRAM,
          {"install", "--from", server.host_port(), client.string(), "--modules",
           DIZEDIR_MODULE_DIR},
          dir / "install.log") != 0) {
    std::fprintf(stderr, "%s", ReadBytes(dir / "install.log").c_str());
    return 1;
  }
  const double install_seconds = Seconds(start);
  const uint64_t install_fetched = server.BodyBytesUnder("/store/");

  // 1% of the bytes, in pieces of up to 16 KiB, in plain files and inside
  // pack entries alike; what each piece lands in must be fetched again.
  std::set<std::string> damaged_objects;
  uint64_t needed = 0, garbled = 0;
  const auto need = [&](const ContentHash& hash, uint64_t object_size) {
    if (damaged_objects.insert(ContentHashHex(hash)).second) needed += object_size;
  };
  while (garbled * 100 < tree_bytes) {
    const size_t length = static_cast<size_t>(maker.Between(1, 16384));
    if (maker.Between(0, 1) == 0) {
      const TreeFile& f = manifest.files[static_cast<size_t>(
          maker.Between(0, static_cast<int>(manifest.files.size()) - 1))];
      if (f.size < length) continue;
      const fs::path path = OnDisk(client, f.path);
      Garble(path, static_cast<uint64_t>(maker.Between(0, static_cast<int>(f.size - length))),
             length, &maker);
      need(f.hash, f.object_size);
    } else {
      const TreePack& p = manifest.packs[static_cast<size_t>(maker.Between(0, kPacks - 1))];
      const TreePackEntry& e = p.entries[static_cast<size_t>(
          maker.Between(0, static_cast<int>(p.entries.size()) - 1))];
      const fs::path path = OnDisk(client, p.path);
      PackArchive* pack = PackOpenReadOnly(env, path.string());
      PackEntryInfo info;
      const bool found = pack != nullptr && PackGetEntryInfo(e.id, pack, &info) == 1;
      PackDiscard(pack);
      if (!found || info.stored_size == 0) continue;
      const size_t span = std::min<size_t>(length, info.stored_size);
      Garble(path, info.offset + static_cast<uint64_t>(maker.Between(0, info.stored_size - span)),
             span, &maker);
      need(e.hash, e.object_size);
      garbled += span;
      continue;
    }
    garbled += length;
  }

  start = Clock::now();
  const int verified = Run(DIZEDIR_HOST_PROGRAM, {"verify", "--client", client.string()},
                           dir / "verify.log");
  const double verify_seconds = Seconds(start);
  if (verified != 3) {
    std::fprintf(stderr, "verify exited %d:\n%s", verified, ReadBytes(dir / "verify.log").c_str());
    return 1;
  }
  server.ClearRequests();
  start = Clock::now();
  if (Run(DIZEDIR_HOST_PROGRAM, {"repair", "--client", client.string()}, dir / "repair.log") !=
      0) {
    std::fprintf(stderr, "%s", ReadBytes(dir / "repair.log").c_str());
    return 1;
  }
  const double repair_seconds = Seconds(start);
  const uint64_t fetched = server.BodyBytesUnder("/store/");
  if (Run(DIZEDIR_HOST_PROGRAM, {"verify", "--client", client.string()}, dir / "verify.log") !=
      0) {
    std::fprintf(stderr, "the repaired client does not verify:\n%s",
                 ReadBytes(dir / "verify.log").c_str());
    return 1;
  }

  const double ratio = needed == 0 ? 0 : static_cast<double>(fetched) / static_cast<double>(needed);
  std::printf("client: %.1f MiB in %zu files and %zu pack entries\n",
              static_cast<double>(tree_bytes) / (1 << 20), manifest.files.size(),
              manifest.packs[0].entries.size() + manifest.packs[1].entries.size());
  std::printf("install from nothing: %.1f s, %.1f MiB of objects fetched\n", install_seconds,
              static_cast<double>(install_fetched) / (1 << 20));
  std::printf("damaged: %.2f MiB (%.2f%% of the bytes) in %zu objects of %.2f MiB stored\n",
              static_cast<double>(garbled) / (1 << 20),
              100.0 * static_cast<double>(garbled) / static_cast<double>(tree_bytes),
              damaged_objects.size(), static_cast<double>(needed) / (1 << 20));
  std::printf("verify found it in %.1f s; repair %.1f s\n", verify_seconds, repair_seconds);
  std::printf("repair fetched %.2f MiB: %.3fx the damaged objects (goal <= 1.1: %s)\n",
              static_cast<double>(fetched) / (1 << 20), ratio, ratio <= 1.1 ? "met" : "MISSED");
  return ratio <= 1.1 ? 0 : 2;
}

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  return dizedir::Main(argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10))
                                : 20261210u);
}
