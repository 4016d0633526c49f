// pack_bench [DIR]: on a pack of 100 000 entries and 512 MiB, times
//   (a) merging 1 000 entries into it the way a patch's pack item is merged
//       (read-only source, target opened for update, add or replace by
//       position, close), and
//   (b) copying every entry out by position (id, size query, read, flag),
// each as a ratio to `cp` of the same file in the same run, and reports the
// peak resident memory of each. Goals: merge <= 1.5x cp, peak <= 64 MiB.
//
// A merge ends by making the new pack durable, which cp does not, so the
// merge is also shown against cp followed by a sync of the copy, and a second
// merge whose files are closed without being synced shows how much of the
// time is the copy and how much is waiting for the disk.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/md5.h"
#include "pack/pack.h"
#include "platform/env.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kEntries = 100000;
constexpr uint64_t kPackBytes = uint64_t{512} << 20;
constexpr uint32_t kMergeEntries = 1000;
constexpr int kRounds = 3;

uint64_t Next(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

// Peak resident set in KiB since the last reset.
long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// Writes the big pack straight in the file format (ids 0..N-1, raw random
// blocks): building it through an archive would hold it all in memory.
// With N entries the table has grown past N buckets, so ascending id order is
// the enumeration order and the file is exactly what a save would write.
void WriteBigPack(const std::string& path) {
  std::vector<uint32_t> sizes(kEntries);
  uint64_t rng = 88172645463325252ull;
  const uint64_t average = kPackBytes / kEntries;
  for (uint32_t& s : sizes) {
    s = static_cast<uint32_t>(1024 + Next(&rng) % (2 * (average - 1024)));
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string rows;
  PutU32(&rows, 0);
  PutU32(&rows, kEntries);
  out.write(rows.data(), static_cast<std::streamsize>(rows.size()));
  const std::string blank(53 * size_t{kEntries}, '\0');
  out.write(blank.data(), static_cast<std::streamsize>(blank.size()));
  rows.clear();
  uint64_t offset = 8 + 53 * uint64_t{kEntries};
  std::string block;
  for (uint32_t id = 0; id < kEntries; ++id) {
    block.resize(sizes[id]);
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
      const uint64_t v = Next(&rng);
      std::copy_n(reinterpret_cast<const char*>(&v), 8, block.data() + i);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    PutU32(&rows, id);
    PutU32(&rows, static_cast<uint32_t>(offset));
    PutU32(&rows, sizes[id]);
    PutU32(&rows, sizes[id]);
    PutU32(&rows, 0);
    rows += dizedir::Md5Hex(block);
    rows.push_back('\0');
    offset += sizes[id];
  }
  out.seekp(8);
  out.write(rows.data(), static_cast<std::streamsize>(rows.size()));
}

// Half new ids, half replacing existing ones; compressible contents.
void WriteMergeSource(dizedir::Env* env, const std::string& path) {
  dizedir::PackArchive* a = dizedir::PackOpenForUpdate(env, path);
  for (uint32_t k = 0; k < kMergeEntries; ++k) {
    const uint32_t id = k % 2 ? kEntries + k : k * 97;
    std::string contents;
    while (contents.size() < 5000) contents += "patched entry " + std::to_string(id);
    dizedir::PackAdd(id, contents.data(), static_cast<uint32_t>(contents.size()),
                     a, 1, nullptr);
  }
  dizedir::PackClose(a);
}

void Merge(dizedir::Env* env, const std::string& source_path,
           const std::string& target_path) {
  using namespace dizedir;
  PackArchive* source = PackOpenReadOnly(env, source_path);
  PackArchive* target = PackOpenForUpdate(env, target_path);
  if (source == nullptr || target == nullptr) {
    std::fprintf(stderr, "cannot open the packs\n");
    std::exit(1);
  }
  const uint32_t count = PackGetCount(source);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t id = PackGetIdAt(k, source);
    uint32_t size = 0;
    PackRead(nullptr, &size, id, source);
    std::vector<char> buffer(size);
    PackRead(buffer.data(), &size, id, source);
    int compressed = 0;
    PackIsCompressed(id, source, &compressed);
    if (!PackAdd(id, buffer.data(), size, target, compressed, nullptr)) {
      PackRemove(id, target);
      PackAdd(id, buffer.data(), size, target, compressed, nullptr);
    }
  }
  if (PackClose(target) != 1) {
    std::fprintf(stderr, "merge failed to save\n");
    std::exit(1);
  }
  PackClose(source);
}

uint64_t CopyOut(dizedir::Env* env, const std::string& path) {
  using namespace dizedir;
  PackArchive* a = PackOpenReadOnly(env, path);
  uint64_t bytes = 0;
  std::vector<char> buffer;
  const uint32_t count = PackGetCount(a);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t id = PackGetIdAt(k, a);
    uint32_t size = 0;
    PackRead(nullptr, &size, id, a);
    if (buffer.size() < size) buffer.resize(size);
    if (!PackRead(buffer.data(), &size, id, a)) {
      std::fprintf(stderr, "entry %u unreadable\n", id);
      std::exit(1);
    }
    int compressed = 0;
    PackIsCompressed(id, a, &compressed);
    bytes += size;
  }
  PackClose(a);
  return bytes;
}

// Passes everything through except durability: Sync only hands the data to
// the OS and the early-writeback hint is dropped, as a plain close would.
class NoFlushEnv : public dizedir::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  dizedir::Status NewWritableFile(
      const std::string& path,
      std::unique_ptr<dizedir::WritableFile>* result) override {
    dizedir::Status s = target()->NewWritableFile(path, result);
    if (s.ok()) *result = std::make_unique<File>(std::move(*result));
    return s;
  }
  dizedir::Status SyncDirectory(const std::string&) override {
    return dizedir::Status::OK();
  }

 private:
  class File : public dizedir::WritableFile {
   public:
    explicit File(std::unique_ptr<dizedir::WritableFile> file)
        : file_(std::move(file)) {}
    dizedir::Status Append(std::string_view data) override {
      return file_->Append(data);
    }
    dizedir::Status AppendFrom(dizedir::ReadableFile* source, uint64_t offset,
                               uint64_t length) override {
      return file_->AppendFrom(source, offset, length);
    }
    dizedir::Status Flush() override { return file_->Flush(); }
    dizedir::Status Sync() override { return file_->Flush(); }
    dizedir::Status Close() override { return file_->Close(); }

   private:
    const std::unique_ptr<dizedir::WritableFile> file_;
  };
};

// A client's pack has long been on the disk when a patch arrives; the one
// just built must not still be waiting in the cache for writeback while the
// merge runs.
void MakeDurable(dizedir::Env* env, const std::string& path) {
  std::unique_ptr<dizedir::WritableFile> file;
  if (!env->NewAppendableFile(path, &file).ok() || !file->Sync().ok() ||
      !file->Close().ok()) {
    std::fprintf(stderr, "cannot sync %s\n", path.c_str());
    std::exit(1);
  }
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

double TimeCommand(const std::string& command) {
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1])
                                : fs::temp_directory_path() / "dizedir-pack-bench";
  fs::create_directories(dir);
  const std::string target = (dir / "target.pac").string();
  const std::string copy = (dir / "copy.pac").string();
  const std::string durable = (dir / "durable.pac").string();
  const std::string source = (dir / "source.pac").string();
  dizedir::Env* env = dizedir::Env::Default();

  std::printf("building a %u-entry pack of %llu MiB in %s ...\n", kEntries,
              static_cast<unsigned long long>(kPackBytes >> 20), dir.c_str());
  WriteBigPack(target);
  WriteMergeSource(env, source);
  MakeDurable(env, target);

  // Every measurement is repeated the same number of times and its best run
  // counts, so a busy moment of a shared machine hits each side alike. Each
  // round merges into fresh copies of the pack made by the timed cp runs
  // themselves, and starts with nothing left dirty by the round before.
  double cp_time = 1e9, cp_sync_time = 1e9, merge_time = 1e9;
  double no_flush_time = 1e9;
  long merge_peak = 0, no_flush_peak = 0;
  const std::string cp = "cp '" + target + "' ";
  const std::string copy_q = "'" + copy + "'", durable_q = "'" + durable + "'";
  TimeCommand(cp + copy_q);  // warms the cache for both sides
  NoFlushEnv no_flush(env);
  for (int round = 0; round < kRounds; ++round) {
    cp_time = std::min(cp_time, TimeCommand(cp + copy_q));
    MakeDurable(env, copy);
    // The merge makes its result durable; cp does not, so the same copy
    // followed by a sync of the copy is shown as well.
    cp_sync_time = std::min(
        cp_sync_time, TimeCommand(cp + durable_q + " && sync " + durable_q));

    ResetPeakRss();
    auto start = Clock::now();
    Merge(env, source, durable);
    merge_time = std::min(merge_time, Seconds(start));
    merge_peak = std::max(merge_peak, PeakRssKiB());

    ResetPeakRss();
    start = Clock::now();
    Merge(&no_flush, source, copy);
    no_flush_time = std::min(no_flush_time, Seconds(start));
    no_flush_peak = std::max(no_flush_peak, PeakRssKiB());
    MakeDurable(env, copy);
  }

  ResetPeakRss();
  const auto start = Clock::now();
  const uint64_t copied = CopyOut(env, target);
  const double copy_out_time = Seconds(start);
  const long copy_peak = PeakRssKiB();

  const double merge_ratio = merge_time / cp_time;
  const double merge_sync_ratio = merge_time / cp_sync_time;
  const double no_flush_ratio = no_flush_time / cp_time;
  std::printf("best of %d runs each\n", kRounds);
  std::printf("cp                 %7.3f s\n", cp_time);
  std::printf("cp + sync          %7.3f s\n", cp_sync_time);
  std::printf("merge %u entries %7.3f s  ratio to cp %.2f (goal <= 1.5: %s), "
              "to cp + sync %.2f (goal <= 1.5: %s); peak RSS %ld MiB "
              "(goal <= 64: %s)\n",
              kMergeEntries, merge_time, merge_ratio,
              Verdict(merge_ratio <= 1.5), merge_sync_ratio,
              Verdict(merge_sync_ratio <= 1.5), merge_peak / 1024,
              Verdict(merge_peak <= 64 * 1024));
  std::printf("  without sync     %7.3f s  ratio to cp %.2f (goal <= 1.5: %s): "
              "the copy; waiting for the disk adds %.3f s; peak RSS %ld MiB\n",
              no_flush_time, no_flush_ratio, Verdict(no_flush_ratio <= 1.5),
              merge_time - no_flush_time, no_flush_peak / 1024);
  std::printf("copy out by pos.   %7.3f s  ratio to cp %.2f; %llu MiB of "
              "contents; peak RSS %ld MiB (goal <= 64: %s)\n",
              copy_out_time, copy_out_time / cp_time,
              static_cast<unsigned long long>(copied >> 20), copy_peak / 1024,
              Verdict(copy_peak <= 64 * 1024));
  fs::remove(target);
  fs::remove(copy);
  fs::remove(durable);
  fs::remove(source);
  return 0;
}
