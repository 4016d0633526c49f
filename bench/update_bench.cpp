// A full update of a 256 MiB release (one archive split into parts, plain
// files and a pack merge) by a launcher process, from a loopback server,
// against a shell pipeline doing the same transfer and checks in the same
// run: curl of each part, md5sum, cat to join, unzip. Prints the time ratio
// (goal: at most 0.6, the update also merges packs and writes its lists),
// the launcher's peak resident memory (goal: at most 64 MiB), how far the
// client directory grew at its peak against the patch's size (goal: at most
// 2.1, the parts and what unpacking writes) and the transfer rate against
// curl's on the same files (goal: at least curl's). The
// same release, signed, updates a client that holds the operator's key in
// alternating rounds: its time and peak memory against the unsigned run
// (goal: within 3%), the price of checking every byte against the manifest.
//
//   update_bench [ROUNDS]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/release_guard.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/release_signer.h"
#include "support/scratch_dir.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = size_t{1} << 20;
constexpr int kParts = 8;
constexpr size_t kPlainFiles = 15;
constexpr size_t kPlainFileBytes = 16 * kMiB;
constexpr uint32_t kPackEntries = 30000;
constexpr size_t kPackEntryBytes = 1000;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

// Bytes of every file below `dir`, which may change while it is walked.
uint64_t TreeBytes(const fs::path& dir) {
  uint64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code size_ec;
    if (it->is_regular_file(size_ec)) {
      const uint64_t size = it->file_size(size_ec);
      if (!size_ec) total += size;
    }
  }
  return total;
}

// Samples the size of a directory tree from its own thread until stopped:
// the peak is what a player's disk must hold at once.
class PeakDiskSampler {
 public:
  explicit PeakDiskSampler(fs::path dir)
      : dir_(std::move(dir)), start_(TreeBytes(dir_)), thread_([this] { Run(); }) {}
  ~PeakDiskSampler() { Stop(); }
  // The largest growth over the start seen.
  uint64_t Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return peak_ > start_ ? peak_ - start_ : 0;
  }

 private:
  void Run() {
    while (!stop_.load()) {
      peak_ = std::max(peak_, TreeBytes(dir_));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  const fs::path dir_;
  const uint64_t start_;
  uint64_t peak_ = 0;  // written by the thread only until Stop joins it
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Release {
  std::vector<std::string> parts;  // file names under the served directory
  uint64_t part_bytes = 0;
  ClientTree client;
  std::string curver;
};

Release BuildRelease(const fs::path& served, const fs::path& work) {
  std::mt19937_64 random(256);
  auto random_bytes = [&random](size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
      const uint64_t v = random();
      std::memcpy(&out[i], &v, 8);
    }
    return out;
  };
  // Half of each file compresses, the way game data mixes media and text.
  auto mixed_bytes = [&](size_t n) {
    std::string out = random_bytes(n / 2);
    while (out.size() < n) out += "monster_" + std::to_string(out.size() % 9973) + " hp=100\r\n";
    out.resize(n);
    return out;
  };

  Release release;
  PackContents existing;
  for (uint32_t id = 1; id <= kPackEntries / 2; ++id) {
    existing[id] = {mixed_bytes(kPackEntryBytes), id % 2 == 0};
  }
  release.client.files["game.cfg"] = "version=1\r\n";
  release.client.packs["items.pac"] = existing;

  PatchContents patch;
  for (size_t i = 0; i < kPlainFiles; ++i) {
    patch.files.emplace_back("data/set" + std::to_string(i % 3) + "/file" + std::to_string(i) +
                                 ".bin",
                             random_bytes(kPlainFileBytes));
  }
  patch.files.emplace_back("game.cfg", "version=2\r\n");
  for (uint32_t id = kPackEntries / 4; id <= kPackEntries; ++id) {
    patch.packs["items.pac"][id] = {mixed_bytes(kPackEntryBytes), id % 2 == 0};
  }
  ReleaseFixture fixture(served, work);
  fixture.AddPatchOf(2, 1, patch, kParts, 1);
  for (const PartEntry& part : fixture.patches().front().parts) {
    release.parts.push_back(part.name + ".zxp");
    release.part_bytes += fs::file_size(served / release.parts.back());
  }
  release.curver = fixture.ClientList(1);
  return release;
}

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  using namespace dizedir;
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  ScratchDir scratch("update_bench");
  const fs::path served = scratch.path() / "served";
  std::printf("building the release...\n");
  std::fflush(stdout);
  const Release release = BuildRelease(served / "rel", scratch.path() / "work");
  std::printf("release: %zu parts, %.1f MiB\n", release.parts.size(),
              release.part_bytes / double(kMiB));

  const ReleaseSigner signer;
  signer.Sign(served / "rel", signer.ManifestOf(served / "rel", ReleaseFixture::kGuid, 1));
  TestHttpServer server;
  if (!server.started()) return 1;
  for (const std::string& part : release.parts) {
    server.AddFile("/rel/" + part, ReadBytes(served / "rel" / part));
  }
  for (const char* list : {"curver.bin", "verlist.bin", "downloadaddr.txt", kReleaseManifestName,
                           kReleaseManifestSignatureName}) {
    server.AddFile(std::string("/rel/") + list, ReadBytes(served / "rel" / list));
  }
  // The signed client takes the server list only with its signature.
  const fs::path server_list = served / "patchone.ini";
  WriteBytes(server_list, "[Region1]\r\nlist=main\r\nmain=" + server.host_port() +
                              "/rel\r\n[curregDianXin]\r\nregion=0\r\n");
  signer.SignFile(server_list.string());
  server.AddFile("/patchone.ini", ReadBytes(server_list));
  server.AddFile("/patchone.ini.minisig", ReadBytes(server_list.string() + ".minisig"));

  // A client at version 1, copied fresh for every round.
  const fs::path client_template = scratch.path() / "client-template";
  for (const char* module : kClientModules) {
    WriteBytes(client_template / module, ReadBytes(fs::path(DIZEDIR_MODULE_DIR) / module));
  }
  WriteClientTree(client_template, release.client);
  WriteBytes(client_template / "curver.bin", release.curver);
  WriteBytes(client_template / "IPconfig.dat", ShiftedHost(server.host_port()));
  const fs::path signed_template = scratch.path() / "signed-template";
  fs::copy(client_template, signed_template, fs::copy_options::recursive);
  WriteBytes(signed_template / kTrustedKeyName, signer.PublicKeyFile());

  double best_update = 1e9, best_transfer = 1e9, best_signed = 1e9;
  long peak_kib = 0, signed_peak_kib = 0;
  uint64_t peak_disk = 0;
  const fs::path client = scratch.path() / "client";
  const fs::path trace = scratch.path() / "trace";
  const fs::path out = scratch.path() / "out";
  // Signed and unsigned rounds alternate, so both see the same machine.
  for (int round = 0; round < 2 * rounds; ++round) {
    const bool is_signed = round % 2 == 1;
    fs::remove_all(client);
    fs::copy(is_signed ? signed_template : client_template, client,
             fs::copy_options::recursive);
    Shell("sync");
    const Clock::time_point start = Clock::now();
    PeakDiskSampler disk(client);
    const bool ok = Shell(std::string(DIZEDIR_UPDATE_RUNNER) + " " + Quote(client) + " " +
                          Quote(trace) + " >" + Quote(out) + " 2>&1");
    const double took = Seconds(start);
    peak_disk = std::max(peak_disk, disk.Stop());
    if (!ok) {
      std::fprintf(stderr, "update failed: %s\n", ReadBytes(out).c_str());
      return 1;
    }
    const std::string text = ReadBytes(trace);
    // The transfer starts when the total bar first names a part; the status
    // shown then stays up until the application begins.
    std::istringstream in(text);
    std::string line, transfer_status;
    long transfer_start = -1, transfer_end = -1;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream row(line);
      std::string field;
      while (std::getline(row, field, '\t')) f.push_back(field);
      if (f.size() < 6) continue;
      if (transfer_start < 0 && !f[5].empty()) {
        transfer_start = std::stol(f[0]);
        transfer_status = f[4];
      } else if (transfer_start >= 0 && f[4] != transfer_status) {
        transfer_end = std::stol(f[0]);
        break;
      }
    }
    const std::string stdout_text = ReadBytes(out);
    const size_t peak_at = stdout_text.find("peak-rss-kib\t");
    long& peak = is_signed ? signed_peak_kib : peak_kib;
    if (peak_at != std::string::npos) {
      peak = std::max(peak, std::stol(stdout_text.substr(peak_at + 13)));
    }
    if (is_signed) {
      best_signed = std::min(best_signed, took);
      std::printf("round %d: signed update %.3f s\n", round / 2 + 1, took);
      continue;
    }
    best_update = std::min(best_update, took);
    if (transfer_start >= 0 && transfer_end > transfer_start) {
      best_transfer = std::min(best_transfer, (transfer_end - transfer_start) / 1000.0);
    }
    std::printf("round %d: update %.3f s (transfer %.3f s)\n", round / 2 + 1, took,
                transfer_end > transfer_start ? (transfer_end - transfer_start) / 1000.0 : -1.0);
    std::fflush(stdout);
  }

  // The same work by hand: fetch each part, check its digest, join, unpack.
  double best_pipeline = 1e9, best_curl = 1e9;
  const fs::path manual = scratch.path() / "manual";
  for (int round = 0; round < rounds; ++round) {
    fs::remove_all(manual);
    fs::create_directories(manual / "out");
    Shell("sync");
    std::string fetch = "cd " + Quote(manual);
    std::string names;
    for (const std::string& part : release.parts) {
      fetch += " && curl -sf -o " + part + " " + server.url("/rel/" + part);
      names += " " + part;
    }
    Clock::time_point start = Clock::now();
    if (!Shell(fetch)) return 1;
    const double curl = Seconds(start);
    const Clock::time_point checks = Clock::now();
    if (!Shell("cd " + Quote(manual) + " && md5sum" + names + " >/dev/null && cat" + names +
               " >upd2.zip && unzip -q -o upd2.zip -d out")) {
      return 1;
    }
    const double total = curl + Seconds(checks);
    best_pipeline = std::min(best_pipeline, total);
    best_curl = std::min(best_curl, curl);
    std::printf("round %d: pipeline %.3f s (curl %.3f s)\n", round + 1, total, curl);
    std::fflush(stdout);
  }

  const double mib = release.part_bytes / double(kMiB);
  std::printf("update   %.3f s   pipeline %.3f s   ratio %.3f (goal <= 0.6)\n",
              best_update, best_pipeline, best_update / best_pipeline);
  std::printf("peak resident memory of the launcher %.1f MiB (goal <= 64)\n", peak_kib / 1024.0);
  std::printf("peak disk %.1f MiB   patch %.1f MiB   ratio %.3f (goal <= 2.1)\n",
              peak_disk / double(kMiB), mib, peak_disk / double(release.part_bytes));
  std::printf("transfer %.1f MiB/s   curl %.1f MiB/s   ratio %.3f (goal >= 1.0)\n",
              mib / best_transfer, mib / best_curl, best_curl / best_transfer);
  std::printf("signed   %.3f s   unsigned %.3f s   ratio %.3f (goal <= 1.03)\n", best_signed,
              best_update, best_signed / best_update);
  std::printf("signed peak memory %.1f MiB   unsigned %.1f MiB   ratio %.3f (goal <= 1.03)\n",
              signed_peak_kib / 1024.0, peak_kib / 1024.0,
              peak_kib > 0 ? double(signed_peak_kib) / peak_kib : 0.0);
  return 0;
}
