// pack_bench [DIR]: on a pack of 100 000 entries and 512 MiB, times
//   (a) merging 1 000 entries into it as a patch's pack item is merged
//       (MergePack: each entry's stored block checked and copied, replacing
//       by id), and
//   (b) copying every entry out by position (id, size query, read, flag),
// each as a ratio to `cp` of the same file in the same run, and reports the
// peak resident memory of each; then
//   (c) merges one honest entry of 200 MiB (compressible, stored as zlib)
//       into a small pack and reports its time and peak memory.
//   (d) merges a pack of the most entries a pack may hold into another
//       one, the largest tables a merge can be made to load.
// Goals: merge <= 1.5x cp, peak <= 64 MiB, for (c) and (d) as well.
//
// A merge ends by making the new pack durable, which cp does not, so the
// merge is also shown against cp followed by a sync of the copy, and a second
// merge whose files are closed without being synced shows how much of the
// time is the copy and how much is waiting for the disk. Each merge is
// broken down into writing the new file, syncing it, renaming it over the
// old one, and the rest.

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

#include <zlib.h>

#include "bench_clock.h"
#include "codec/md5.h"
#include "engine/item_handlers.h"
#include "pack/pack.h"
#include "platform/env.h"

namespace {

namespace fs = std::filesystem;
using dizedir::bench::Clock;
using dizedir::bench::PeakRssKiB;
using dizedir::bench::ResetPeakRss;
using dizedir::bench::Seconds;

constexpr uint32_t kEntries = 100000;
constexpr uint64_t kPackBytes = uint64_t{512} << 20;
constexpr uint32_t kMergeEntries = 1000;
constexpr int kRounds = 4;
constexpr uint64_t kHugeEntryMiB = 200;

uint64_t Next(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
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

// The patch's item is deleted by a successful merge, so each merge works on
// a fresh copy of it, made before the clock starts.
// A pack of kPackMaxEntries empty raw entries, ids first_id on.
void WriteFullPack(const std::string& path, uint32_t first_id) {
  const uint32_t n = dizedir::kPackMaxEntries;
  std::string bytes;
  PutU32(&bytes, 0);
  PutU32(&bytes, n);
  const std::string digest = dizedir::Md5Hex("") + std::string(1, '\0');
  for (uint32_t k = 0; k < n; ++k) {
    PutU32(&bytes, first_id + k);
    PutU32(&bytes, 8 + 53 * n);
    PutU32(&bytes, 0);
    PutU32(&bytes, 0);
    PutU32(&bytes, 0);
    bytes += digest;
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Returns the seconds of the merge alone.
double Merge(dizedir::Env* env, const fs::path& dir, const std::string& source,
             const std::string& target_name) {
  fs::copy_file(dir / source, dir / "item.pac",
                fs::copy_options::overwrite_existing);
  ResetPeakRss();
  const auto start = Clock::now();
  dizedir::Status s = dizedir::MergePack(env, dir.string() + "/", "item.pac",
                                         target_name, nullptr);
  const double seconds = Seconds(start);
  if (!s.ok()) {
    std::fprintf(stderr, "merge failed: %s\n", s.ToString().c_str());
    std::exit(1);
  }
  return seconds;
}

// One entry of `bytes` compressible contents (text with a counter in it),
// written as a zlib stream straight into the file piece by piece, as large
// patch packs are made: nothing here holds the entry whole.
void WriteHugeEntryPack(const std::string& path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string head;
  PutU32(&head, 0);
  PutU32(&head, 1);
  head.append(53, '\0');
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  z_stream z = {};
  deflateInit(&z, Z_DEFAULT_COMPRESSION);
  dizedir::Md5 md5;
  std::string in, zbuf(1 << 20, '\0');
  uint64_t made = 0, stored = 0;
  uint64_t line = 0;
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    in.clear();
    while (in.size() < (1u << 20) && made + in.size() < bytes) {
      in += "resource line " + std::to_string(line++) + " of a large entry\n";
    }
    in.resize(static_cast<size_t>(std::min<uint64_t>(in.size(), bytes - made)));
    made += in.size();
    flush = made == bytes ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = reinterpret_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(zbuf.data());
      z.avail_out = static_cast<uInt>(zbuf.size());
      deflate(&z, flush);
      const size_t n = zbuf.size() - z.avail_out;
      md5.Update(zbuf.data(), n);
      out.write(zbuf.data(), static_cast<std::streamsize>(n));
      stored += n;
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  std::string row;
  PutU32(&row, 7);
  PutU32(&row, 61);
  PutU32(&row, static_cast<uint32_t>(bytes));
  PutU32(&row, static_cast<uint32_t>(stored));
  PutU32(&row, 1);
  row += md5.HexFinal();
  row.push_back('\0');
  out.seekp(8);
  out.write(row.data(), static_cast<std::streamsize>(row.size()));
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

// Where a merge spends its time in the file system: writing the new pack,
// syncing it and renaming it over the old one. Without `durable`, Sync only
// hands the data to the OS and the early-writeback hint is dropped, as a
// plain close would.
struct Breakdown {
  double writing = 0;
  double sync = 0;
  double rename = 0;
};

class MeasuringEnv : public dizedir::EnvWrapper {
 public:
  MeasuringEnv(dizedir::Env* target, bool durable)
      : EnvWrapper(target), durable_(durable) {}

  Breakdown* times() { return &times_; }

  dizedir::Status NewWritableFile(
      const std::string& path,
      std::unique_ptr<dizedir::WritableFile>* result) override {
    dizedir::Status s = target()->NewWritableFile(path, result);
    if (s.ok()) *result = std::make_unique<File>(this, std::move(*result));
    return s;
  }
  dizedir::Status RenameFile(const std::string& from,
                             const std::string& to) override {
    const auto start = Clock::now();
    dizedir::Status s = target()->RenameFile(from, to);
    times_.rename += Seconds(start);
    return s;
  }
  dizedir::Status SyncDirectory(const std::string& dir) override {
    if (!durable_) return dizedir::Status::OK();
    const auto start = Clock::now();
    dizedir::Status s = target()->SyncDirectory(dir);
    times_.sync += Seconds(start);
    return s;
  }

 private:
  class File : public dizedir::WritableFile {
   public:
    File(MeasuringEnv* env, std::unique_ptr<dizedir::WritableFile> file)
        : env_(env), file_(std::move(file)) {}
    dizedir::Status Append(std::string_view data) override {
      const auto start = Clock::now();
      dizedir::Status s = file_->Append(data);
      env_->times_.writing += Seconds(start);
      return s;
    }
    dizedir::Status AppendFrom(dizedir::ReadableFile* source, uint64_t offset,
                               uint64_t length) override {
      const auto start = Clock::now();
      dizedir::Status s = file_->AppendFrom(source, offset, length);
      env_->times_.writing += Seconds(start);
      return s;
    }
    void WillSync() override {
      if (env_->durable_) file_->WillSync();
    }
    dizedir::Status Flush() override { return file_->Flush(); }
    dizedir::Status Sync() override {
      const auto start = Clock::now();
      dizedir::Status s = env_->durable_ ? file_->Sync() : file_->Flush();
      env_->times_.sync += Seconds(start);
      return s;
    }
    dizedir::Status Close() override { return file_->Close(); }

   private:
    MeasuringEnv* const env_;
    const std::unique_ptr<dizedir::WritableFile> file_;
  };

  const bool durable_;
  Breakdown times_;
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
  double cp_time = 1e9, cp_sync_time = 1e9;
  struct Run {
    double seconds = 1e9;
    Breakdown parts;
    long peak_kib = 0;
  };
  Run durable_run, plain_run;
  const std::string cp = "cp '" + target + "' ";
  const std::string copy_q = "'" + copy + "'", durable_q = "'" + durable + "'";
  TimeCommand(cp + copy_q);  // warms the cache for both sides
  for (int round = 0; round < kRounds; ++round) {
    cp_time = std::min(cp_time, TimeCommand(cp + copy_q));
    MakeDurable(env, copy);
    // The merge makes its result durable; cp does not, so the same copy
    // followed by a sync of the copy is shown as well.
    cp_sync_time = std::min(
        cp_sync_time, TimeCommand(cp + durable_q + " && sync " + durable_q));

    // A merge leaves work to the filesystem (the old pack's blocks to free)
    // that slows whatever runs next, so the two merges take turns going
    // first.
    for (int turn = 0; turn < 2; ++turn) {
      const bool is_durable = (round + turn) % 2 == 0;
      MeasuringEnv measured(env, is_durable);
      Run* best = is_durable ? &durable_run : &plain_run;
      const double seconds = Merge(&measured, dir, "source.pac",
                                   is_durable ? "durable.pac" : "copy.pac");
      best->peak_kib = std::max(best->peak_kib, PeakRssKiB());
      if (seconds < best->seconds) {
        best->seconds = seconds;
        best->parts = *measured.times();
      }
      if (!is_durable) MakeDurable(env, copy);
    }
  }

  ResetPeakRss();
  const auto start = Clock::now();
  const uint64_t copied = CopyOut(env, target);
  const double copy_out_time = Seconds(start);
  const long copy_peak = PeakRssKiB();

  // (c) One honest entry far larger than the memory goal. Its block is
  // checked (digest, inflated in pieces to its size) and copied file to
  // file; it is never held whole.
  const uint64_t huge_bytes = kHugeEntryMiB << 20;
  WriteHugeEntryPack((dir / "huge-source.pac").string(), huge_bytes);
  {
    dizedir::PackArchive* small = dizedir::PackOpenForUpdate(env, (dir / "small-base.pac").string());
    dizedir::PackAdd(1, "a small entry", 13, small, 1, nullptr);
    dizedir::PackAdd(7, "replaced by the huge one", 24, small, 0, nullptr);
    dizedir::PackClose(small);
  }
  double huge_time = 1e9;
  long huge_peak = 0;
  for (int round = 0; round < 2; ++round) {
    fs::copy_file(dir / "small-base.pac", dir / "small.pac",
                  fs::copy_options::overwrite_existing);
    huge_time = std::min(huge_time, Merge(env, dir, "huge-source.pac", "small.pac"));
    huge_peak = std::max(huge_peak, PeakRssKiB());
  }
  {
    dizedir::PackArchive* merged = dizedir::PackOpenReadOnly(env, (dir / "small.pac").string());
    uint32_t size = 0;
    if (dizedir::PackRead(nullptr, &size, 7, merged) != 1 || size != huge_bytes ||
        !dizedir::PackCheck(env, (dir / "small.pac").string(), "small.pac").ok()) {
      std::fprintf(stderr, "the huge entry did not arrive whole\n");
      std::exit(1);
    }
    dizedir::PackClose(merged);
  }

  // (d) Both tables at the ceiling: the source's ids replace the target's.
  WriteFullPack((dir / "full-source.pac").string(), 0);
  WriteFullPack((dir / "full.pac").string(), 0);
  const double full_time = Merge(env, dir, "full-source.pac", "full.pac");
  const long full_peak = PeakRssKiB();

  const double merge_ratio = durable_run.seconds / cp_time;
  const double merge_sync_ratio = durable_run.seconds / cp_sync_time;
  const double plain_ratio = plain_run.seconds / cp_time;
  auto print_parts = [](const Run& run) {
    const Breakdown& p = run.parts;
    std::printf("    writing %.3f s, sync %.3f s, rename %.3f s, the rest "
                "(loading, adding, releasing the old pack) %.3f s\n",
                p.writing, p.sync, p.rename,
                run.seconds - p.writing - p.sync - p.rename);
  };
  std::printf("best of %d runs each\n", kRounds);
  std::printf("cp                 %7.3f s\n", cp_time);
  std::printf("cp + sync          %7.3f s\n", cp_sync_time);
  std::printf("merge %u entries %7.3f s  ratio to cp %.2f (goal <= 1.5: %s), "
              "to cp + sync %.2f (goal <= 1.5: %s); peak RSS %ld MiB "
              "(goal <= 64: %s)\n",
              kMergeEntries, durable_run.seconds, merge_ratio,
              Verdict(merge_ratio <= 1.5), merge_sync_ratio,
              Verdict(merge_sync_ratio <= 1.5), durable_run.peak_kib / 1024,
              Verdict(durable_run.peak_kib <= 64 * 1024));
  print_parts(durable_run);
  // ext4 allocates and starts writing a file renamed over another one that
  // was not synced, so without the sync the wait moves into the rename.
  std::printf("  without sync     %7.3f s  ratio to cp %.2f (goal <= 1.5: %s); "
              "peak RSS %ld MiB\n",
              plain_run.seconds, plain_ratio, Verdict(plain_ratio <= 1.5),
              plain_run.peak_kib / 1024);
  print_parts(plain_run);
  std::printf("copy out by pos.   %7.3f s  ratio to cp %.2f; %llu MiB of "
              "contents; peak RSS %ld MiB (goal <= 64: %s)\n",
              copy_out_time, copy_out_time / cp_time,
              static_cast<unsigned long long>(copied >> 20), copy_peak / 1024,
              Verdict(copy_peak <= 64 * 1024));
  std::printf("merge of one %llu MiB entry %7.3f s; peak RSS %ld MiB "
              "(goal <= 64: %s)\n",
              static_cast<unsigned long long>(kHugeEntryMiB), huge_time,
              huge_peak / 1024, Verdict(huge_peak <= 64 * 1024));
  std::printf("merge of %u entries into as many %7.3f s; peak RSS %ld MiB "
              "(goal <= 64: %s)\n",
              dizedir::kPackMaxEntries, full_time, full_peak / 1024,
              Verdict(full_peak <= 64 * 1024));
  for (const char* name : {"huge-source.pac", "small-base.pac", "small.pac",
                           "full-source.pac", "full.pac"}) {
    fs::remove(dir / name);
  }
  fs::remove(target);
  fs::remove(copy);
  fs::remove(durable);
  fs::remove(source);
  return 0;
}
