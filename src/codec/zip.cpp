#include "codec/zip.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/zip_names.h"
#include "platform/env.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr size_t kInflateChunk = 16384;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"
constexpr uint16_t kZip64Tag = 0x0001;
constexpr unsigned kUnixHost = 3;
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64Signature = 0x06064b50;
constexpr uint32_t kLocator64Signature = 0x07064b50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kEnd64Size = 56;
constexpr size_t kLocator64Size = 20;
constexpr size_t kMaxComment = 0xFFFF;
constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr uint16_t kSaturated16 = 0xFFFF;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagEncrypted = 1;

uint16_t GetU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}

uint64_t GetU64(const unsigned char* p) {
  return uint64_t{GetU32(p)} | (uint64_t{GetU32(p + 4)} << 32);
}

// Exactly n bytes at offset, or false.
bool ReadAt(ReadableFile* file, uint64_t offset, size_t n, unsigned char* out) {
  size_t done = 0;
  while (done < n) {
    size_t got = 0;
    if (!file->Read(offset + done, n - done, reinterpret_cast<char*>(out) + done,
                    &got)
             .ok() ||
        got == 0) {
      return false;
    }
    done += got;
  }
  return true;
}

// Reads a region front to back through one buffer of fixed size, so the
// central directory costs a read per 64 KiB, not one per record.
class SequentialReader {
 public:
  static constexpr size_t kBlock = 1 << 16;

  SequentialReader(ReadableFile* file, uint64_t offset, uint64_t end)
      : file_(file), position_(offset), end_(end) {}

  uint64_t position() const { return position_; }

  // Points *data at the next n bytes and moves past them; false when fewer
  // than n are left before the end. The bytes stay valid until the next call.
  bool Next(size_t n, const unsigned char** data) {
    if (n > end_ - position_) return false;
    if (position_ < buffer_start_ ||
        position_ + n > buffer_start_ + buffer_.size()) {
      const uint64_t want = std::min<uint64_t>(std::max(n, kBlock), end_ - position_);
      buffer_.resize(static_cast<size_t>(want));
      if (!ReadAt(file_, position_, buffer_.size(), buffer_.data())) return false;
      buffer_start_ = position_;
    }
    *data = buffer_.data() + (position_ - buffer_start_);
    position_ += n;
    return true;
  }

 private:
  ReadableFile* const file_;
  uint64_t position_;
  const uint64_t end_;
  std::vector<unsigned char> buffer_;
  uint64_t buffer_start_ = 0;
};

// What the central directory says of one item, with sizes and offsets
// already taken from the zip64 block where the 32-bit fields are saturated.
struct Entry {
  uint64_t central = 0;  // offset of its central-directory record
  uint64_t local = 0;    // offset of its local header
  uint64_t data = 0;     // offset of its compressed data
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint32_t crc = 0;
  uint32_t external = 0;
  uint32_t dos_time = 0;  // date in the high half, as stored
  uint16_t made_by = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};

// Walks the blocks of an extra field; fn(tag, data, size) returns false to
// stop. A block announcing more than is left is cut at the end.
template <typename Fn>
void ForEachExtraBlock(const unsigned char* p, size_t left, Fn fn) {
  while (left >= 4) {
    const uint16_t tag = GetU16(p);
    const size_t size = std::min<size_t>(GetU16(p + 2), left - 4);
    if (!fn(tag, p + 4, size)) return;
    p += 4 + size;
    left -= 4 + size;
  }
}

// Replaces the saturated fields by the zip64 block's values, which come in
// this fixed order and only for the fields that are saturated. False when a
// saturated field has no value there.
bool ApplyZip64(const unsigned char* extra, size_t extra_length, Entry* e,
                uint32_t* disk) {
  const bool need_size = e->uncompressed == kSaturated32;
  const bool need_compressed = e->compressed == kSaturated32;
  const bool need_offset = e->local == kSaturated32;
  const bool need_disk = *disk == kSaturated16;
  if (!need_size && !need_compressed && !need_offset && !need_disk) return true;
  bool found = false;
  bool ok = false;
  ForEachExtraBlock(extra, extra_length, [&](uint16_t tag,
                                             const unsigned char* data,
                                             size_t size) {
    if (tag != kZip64Tag) return true;
    found = true;
    size_t at = 0;
    auto take64 = [&](uint64_t* field) {
      if (at + 8 > size) return false;
      *field = GetU64(data + at);
      at += 8;
      return true;
    };
    ok = (!need_size || take64(&e->uncompressed)) &&
         (!need_compressed || take64(&e->compressed)) &&
         (!need_offset || take64(&e->local));
    if (ok && need_disk) {
      if (at + 4 > size) {
        ok = false;
      } else {
        *disk = GetU32(data + at);
      }
    }
    return false;
  });
  return found && ok;
}

// Where the central directory lies and how many records it holds.
struct Directory {
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t count = 0;
  uint64_t end = 0;  // where the records that describe it begin
};

ZipResult FindDirectory(ReadableFile* file, uint64_t file_size,
                        Directory* dir) {
  if (file_size < kEndSize) return ZipResult::kCorrupt;
  // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
  const uint64_t tail_size = std::min<uint64_t>(file_size, kEndSize + kMaxComment);
  const uint64_t tail_start = file_size - tail_size;
  std::vector<unsigned char> tail(static_cast<size_t>(tail_size));
  if (!ReadAt(file, tail_start, tail.size(), tail.data())) {
    return ZipResult::kNoFile;
  }
  // The last signature whose record and comment fit in the file.
  size_t at = tail.size() - kEndSize + 1;
  const unsigned char* end = nullptr;
  while (at-- > 0) {
    const unsigned char* p = tail.data() + at;
    if (GetU32(p) == kEndSignature &&
        at + kEndSize + GetU16(p + 20) <= tail.size()) {
      end = p;
      break;
    }
  }
  if (end == nullptr) return ZipResult::kCorrupt;
  const uint64_t end_offset = tail_start + at;
  const uint16_t disk = GetU16(end + 4);
  const uint16_t disk_with_directory = GetU16(end + 6);
  const uint16_t on_disk = GetU16(end + 8);
  dir->count = GetU16(end + 10);
  dir->size = GetU32(end + 12);
  dir->offset = GetU32(end + 16);
  dir->end = end_offset;

  unsigned char locator[kLocator64Size];
  if (end_offset < kLocator64Size ||
      !ReadAt(file, end_offset - kLocator64Size, kLocator64Size, locator) ||
      GetU32(locator) != kLocator64Signature) {
    if (disk != 0 || disk_with_directory != 0 || on_disk != dir->count) {
      return ZipResult::kCorrupt;  // spanned archives are not supported
    }
    return ZipResult::kOk;
  }

  // Zip64: the record the locator points at holds the full values; the
  // 32-bit ones must be saturated or agree, so no reader can see two
  // different archives in one file.
  const uint64_t record_offset = GetU64(locator + 8);
  const uint64_t locator_offset = end_offset - kLocator64Size;
  unsigned char record[kEnd64Size];
  if (GetU32(locator + 4) != 0 || GetU32(locator + 16) > 1 ||
      record_offset > locator_offset ||
      locator_offset - record_offset < kEnd64Size ||
      !ReadAt(file, record_offset, kEnd64Size, record) ||
      GetU32(record) != kEnd64Signature || GetU32(record + 16) != 0 ||
      GetU32(record + 20) != 0 ||
      GetU64(record + 24) != GetU64(record + 32)) {
    return ZipResult::kCorrupt;
  }
  const uint64_t count64 = GetU64(record + 32);
  const uint64_t size64 = GetU64(record + 40);
  const uint64_t offset64 = GetU64(record + 48);
  const auto agrees = [](uint64_t narrow, uint64_t saturated, uint64_t wide) {
    return narrow == saturated || narrow == wide;
  };
  if (!agrees(dir->count, kSaturated16, count64) ||
      !agrees(on_disk, kSaturated16, count64) ||
      !agrees(dir->size, kSaturated32, size64) ||
      !agrees(dir->offset, kSaturated32, offset64) ||
      !agrees(disk, kSaturated16, 0) ||
      !agrees(disk_with_directory, kSaturated16, 0)) {
    return ZipResult::kCorrupt;
  }
  dir->count = count64;
  dir->size = size64;
  dir->offset = offset64;
  dir->end = record_offset;
  return ZipResult::kOk;
}

// Reads every central-directory record, then every local header, and
// refuses an archive whose items share bytes or reach past their room.
ZipResult ReadDirectory(ReadableFile* file, uint64_t file_size,
                        std::vector<Entry>* entries) {
  Directory dir;
  const ZipResult found = FindDirectory(file, file_size, &dir);
  if (found != ZipResult::kOk) return found;
  // The ceiling first: a declared count alone must not decide how long the
  // rest takes.
  if (dir.count > kZipMaxItems) return ZipResult::kLimits;
  if (dir.offset > dir.end || dir.size > dir.end - dir.offset ||
      dir.count > dir.size / kCentralSize) {
    return ZipResult::kCorrupt;
  }

  entries->clear();
  entries->reserve(static_cast<size_t>(dir.count));
  SequentialReader reader(file, dir.offset, dir.offset + dir.size);
  for (uint64_t i = 0; i < dir.count; ++i) {
    Entry e;
    e.central = reader.position();
    const unsigned char* p = nullptr;
    if (!reader.Next(kCentralSize, &p) || GetU32(p) != kCentralSignature) {
      return ZipResult::kCorrupt;
    }
    e.made_by = GetU16(p + 4);
    e.flags = GetU16(p + 8);
    e.method = GetU16(p + 10);
    e.dos_time = (uint32_t{GetU16(p + 14)} << 16) | GetU16(p + 12);
    e.crc = GetU32(p + 16);
    e.compressed = GetU32(p + 20);
    e.uncompressed = GetU32(p + 24);
    e.name_length = GetU16(p + 28);
    e.extra_length = GetU16(p + 30);
    const uint16_t comment_length = GetU16(p + 32);
    uint32_t disk = GetU16(p + 34);
    e.external = GetU32(p + 38);
    e.local = GetU32(p + 42);
    if (e.name_length > kZipMaxNameBytes) return ZipResult::kLimits;
    // Name, extra field and comment in one piece, so the extra field stays
    // valid while it is read.
    const unsigned char* rest = nullptr;
    if (!reader.Next(size_t{e.name_length} + e.extra_length + comment_length,
                     &rest)) {
      return ZipResult::kCorrupt;
    }
    const unsigned char* extra = rest + e.name_length;
    if (!ApplyZip64(extra, e.extra_length, &e, &disk) || disk != 0) {
      return ZipResult::kCorrupt;
    }
    entries->push_back(e);
  }

  // Every item's local header and data must end before the central
  // directory (which itself ends before the end records), so nothing of
  // an item can be read past the file's end.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(entries->size());
  for (Entry& e : *entries) {
    unsigned char header[kLocalSize];
    if (e.local > dir.offset || dir.offset - e.local < kLocalSize) {
      return ZipResult::kOverlap;
    }
    if (!ReadAt(file, e.local, kLocalSize, header)) return ZipResult::kNoFile;
    if (GetU32(header) != kLocalSignature) return ZipResult::kCorrupt;
    const uint64_t header_end =
        e.local + kLocalSize + GetU16(header + 26) + GetU16(header + 28);
    if (header_end > dir.offset || e.compressed > dir.offset - header_end) {
      return ZipResult::kOverlap;
    }
    e.data = header_end;
    ranges.emplace_back(e.local, header_end + e.compressed);
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) return ZipResult::kOverlap;
  }
  return ZipResult::kOk;
}

// The description of one item as the central directory stores it.
struct RawItem {
  const Entry* entry = nullptr;
  std::string stored_name;
  std::string extra;
};

uint32_t AttributesOf(const Entry& e) {
  const unsigned host = e.made_by >> 8;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    return e.external & (kZipAttrReadOnly | kZipAttrHidden | kZipAttrSystem |
                         kZipAttrDirectory | kZipAttrArchive);
  }
  uint32_t attributes = kZipAttrArchive;
  if (e.external & (1u << 30)) attributes |= kZipAttrDirectory;
  if (!(e.external & (1u << 23))) attributes |= kZipAttrReadOnly;
  return attributes;
}

bool IsSymlinkItem(const Entry& e) {
  return (e.made_by >> 8) == kUnixHost &&
         ((e.external >> 16) & kUnixTypeMask) == kUnixSymlink;
}

void FillTimes(Env* env, const RawItem& raw, ZipItem* item) {
  const uint32_t dos = raw.entry->dos_time;
  const uint32_t date = dos >> 16;
  const uint32_t time = dos & 0xFFFF;
  LocalTime local;
  local.year = static_cast<int>(((date >> 9) & 0x7F) + 1980);
  local.month = static_cast<int>((date >> 5) & 0x0F);
  local.day = static_cast<int>(date & 0x1F);
  local.hour = static_cast<int>(time >> 11);
  local.minute = static_cast<int>((time >> 5) & 0x3F);
  local.second = static_cast<int>((time & 0x1F) * 2);
  const int64_t dos_time = env->LocalTimeToUnix(local);
  item->creation_time = item->last_access_time = item->last_write_time =
      dos_time;

  // Extended timestamp: a flags byte, then the times it announces in the
  // order modification, access, creation, as far as the block holds them
  // (central-directory copies usually carry the modification time only).
  ForEachExtraBlock(
      reinterpret_cast<const unsigned char*>(raw.extra.data()),
      raw.extra.size(),
      [&](uint16_t tag, const unsigned char* data, size_t size) {
        if (tag != kExtendedTimestampTag || size < 1) return true;
        const unsigned flags = data[0];
        size_t at = 1;
        int64_t* targets[] = {&item->last_write_time, &item->last_access_time,
                              &item->creation_time};
        for (int bit = 0; bit < 3; ++bit) {
          if (!(flags & (1u << bit))) continue;
          if (at + 4 > size) break;
          *targets[bit] = GetU32(data + at);
          at += 4;
        }
        return true;
      });
}

// Closes the temporary file and removes it unless it was renamed.
class TempFile {
 public:
  TempFile(Env* env, std::string path) : env_(env), path_(std::move(path)) {}
  ~TempFile() {
    file.reset();
    if (!kept_) env_->DeleteFile(path_);
  }
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

  std::unique_ptr<WritableFile> file;

 private:
  Env* const env_;
  const std::string path_;
  bool kept_ = false;
};

// Feeds an item's compressed bytes, in chunks, from its range of the file.
class DataSource {
 public:
  DataSource(ReadableFile* file, const Entry& e)
      : file_(file), position_(e.data), left_(e.compressed) {}
  uint64_t left() const { return left_; }
  // The next chunk, at most n bytes; false when the file cannot be read.
  bool Next(size_t n, std::vector<unsigned char>* chunk) {
    chunk->resize(static_cast<size_t>(std::min<uint64_t>(n, left_)));
    if (!ReadAt(file_, position_, chunk->size(), chunk->data())) return false;
    position_ += chunk->size();
    left_ -= chunk->size();
    return true;
  }

 private:
  ReadableFile* const file_;
  uint64_t position_;
  uint64_t left_;
};

// A full disk is worth telling the player apart from other write errors.
ZipResult WriteFailure(const Status& s) {
  return s.IsNoSpace() ? ZipResult::kDiskFull : ZipResult::kWrite;
}

// Writes the item's data to `out`, never more than it declares, and checks
// its size and CRC-32.
ZipResult Decode(ReadableFile* file, const Entry& e, WritableFile* out) {
  DataSource source(file, e);
  std::vector<unsigned char> in;
  uint64_t total = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  // More data than declared is a zip bomb or a lie; either way the declared
  // size is all that may reach the disk.
  auto emit = [&](const unsigned char* data, size_t n) {
    if (n > e.uncompressed - total) return ZipResult::kCorrupt;
    total += n;
    crc = crc32(crc, data, static_cast<uInt>(n));
    const Status written = out->Append(std::string_view(reinterpret_cast<const char*>(data), n));
    return written.ok() ? ZipResult::kOk : WriteFailure(written);
  };

  if (e.method == kMethodStored) {
    if (e.compressed != e.uncompressed) return ZipResult::kCorrupt;
    while (source.left() > 0) {
      if (!source.Next(kInflateChunk, &in)) return ZipResult::kCorrupt;
      const ZipResult r = emit(in.data(), in.size());
      if (r != ZipResult::kOk) return r;
    }
  } else {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return ZipResult::kCorrupt;
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&z, inflateEnd);
    std::vector<unsigned char> chunk(kInflateChunk);
    int status = Z_OK;
    while (status != Z_STREAM_END) {
      if (z.avail_in == 0 && source.left() > 0) {
        if (!source.Next(kInflateChunk, &in)) return ZipResult::kCorrupt;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(in.size());
      }
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      status = inflate(&z, Z_NO_FLUSH);
      // Z_BUF_ERROR here means the data ended before the stream did.
      if (status != Z_OK && status != Z_STREAM_END) return ZipResult::kCorrupt;
      const ZipResult r = emit(chunk.data(), chunk.size() - z.avail_out);
      if (r != ZipResult::kOk) return r;
    }
  }
  if (total != e.uncompressed || crc != e.crc) return ZipResult::kCorrupt;
  return ZipResult::kOk;
}

}  // namespace

struct ZipArchive {
  Env* env = nullptr;
  std::unique_ptr<ReadableFile> file;
  std::vector<Entry> entries;
  std::u16string base_dir = u"./";
  ZipTotals totals;
  bool totals_overflow = false;

  int count() const { return static_cast<int>(entries.size()); }

  bool Describe(int index, RawItem* raw) {
    if (index < 0 || index >= count()) return false;
    const Entry& e = entries[static_cast<size_t>(index)];
    raw->entry = &e;
    std::string record(kCentralSize + e.name_length + e.extra_length, '\0');
    if (!ReadAt(file.get(), e.central, record.size(),
                reinterpret_cast<unsigned char*>(record.data()))) {
      return false;
    }
    raw->stored_name = record.substr(kCentralSize, e.name_length);
    raw->extra = record.substr(kCentralSize + e.name_length);
    return true;
  }
};

ZipArchive* ZipOpenFile(Env* env, const std::u16string& path,
                        const char* /*password*/, ZipResult* why) {
  ZipResult ignored;
  if (why == nullptr) why = &ignored;
  *why = ZipResult::kArguments;
  if (env == nullptr) return nullptr;
  auto a = std::make_unique<ZipArchive>();
  a->env = env;
  uint64_t size = 0;
  *why = ZipResult::kNoFile;
  if (!env->NewReadableFile(Utf16ToNarrow(path), &a->file).ok() ||
      !a->file->Size(&size).ok()) {
    return nullptr;
  }
  *why = ReadDirectory(a->file.get(), size, &a->entries);
  if (*why != ZipResult::kOk) return nullptr;
  a->totals.items = a->entries.size();
  for (const Entry& e : a->entries) {
    // The compressed ranges are disjoint parts of the file: no overflow.
    a->totals.compressed_bytes += e.compressed;
    if (e.uncompressed > UINT64_MAX - a->totals.uncompressed_bytes) {
      a->totals_overflow = true;
      a->totals.uncompressed_bytes = UINT64_MAX;
    } else if (!a->totals_overflow) {
      a->totals.uncompressed_bytes += e.uncompressed;
    }
  }
  return a.release();
}

ZipResult ZipSetBaseDir(ZipArchive* archive, const std::u16string& dir) {
  if (archive == nullptr) return ZipResult::kArguments;
  archive->base_dir = dir;
  if (dir.empty() || (dir.back() != u'\\' && dir.back() != u'/')) {
    archive->base_dir += u'\\';
  }
  return ZipResult::kOk;
}

ZipResult ZipGetItem(ZipArchive* archive, int index, ZipItem* item) {
  if (archive == nullptr || item == nullptr) return ZipResult::kArguments;
  if (index == -1) {
    *item = ZipItem();
    item->index = archive->count();
    return ZipResult::kOk;
  }
  RawItem raw;
  if (index < -1 || index >= archive->count()) return ZipResult::kArguments;
  if (!archive->Describe(index, &raw)) return ZipResult::kCorrupt;
  *item = ZipItem();
  item->index = index;
  item->name = ZipCleanName(Utf8ToUtf16(raw.stored_name));
  item->attributes = AttributesOf(*raw.entry);
  FillTimes(archive->env, raw, item);
  item->compressed_size = raw.entry->compressed;
  item->uncompressed_size = raw.entry->uncompressed;
  item->symbolic_link = IsSymlinkItem(*raw.entry);
  return ZipResult::kOk;
}

ZipResult ZipGetTotals(ZipArchive* archive, ZipTotals* totals) {
  if (archive == nullptr || totals == nullptr) return ZipResult::kArguments;
  *totals = archive->totals;
  return archive->totals_overflow ? ZipResult::kOverflow : ZipResult::kOk;
}

namespace {

// A directory where the file goes is replaced only when empty; anything in
// it, or a link the player made, is never removed for a file.
ZipResult CheckBlockingDirectory(Env* env, const std::string& full) {
  if (!env->IsDirectory(full)) return ZipResult::kOk;
  std::vector<std::string> children;
  if (env->IsSymbolicLink(full) || !env->GetChildren(full, &children).ok() ||
      !children.empty()) {
    return ZipResult::kBlocked;
  }
  return ZipResult::kOk;
}

ZipResult ExtractFile(ZipArchive* a, const RawItem& raw, const ZipItem& item,
                      const std::string& target, ZipPlacement placement) {
  Env* env = a->env;
  const Entry& e = *raw.entry;
  if ((e.flags & kFlagEncrypted) != 0) return ZipResult::kPassword;
  if (e.method != kMethodStored && e.method != kMethodDeflated) {
    return ZipResult::kCorrupt;
  }
  const bool in_place = placement == ZipPlacement::kInPlace;
  if (in_place) {
    const ZipResult blocked = CheckBlockingDirectory(env, target);
    if (blocked != ZipResult::kOk) return blocked;
  }
  TempFile temp(env, target + std::string(kTempSuffix));
  if (!env->NewWritableFile(temp.path(), &temp.file).ok()) {
    return ZipResult::kNoFile;
  }
  const ZipResult decoded = Decode(a->file.get(), e, temp.file.get());
  if (decoded != ZipResult::kOk) return decoded;
  Status synced = temp.file->Sync();
  if (synced.ok()) synced = temp.file->Close();
  if (!synced.ok()) return WriteFailure(synced);
  temp.file.reset();
  FileTimes times;
  times.modified = item.last_write_time;
  times.accessed = item.last_access_time;
  // Times and read-only go on before the rename, which keeps them.
  if (!env->SetFileTimes(temp.path(), times).ok()) return ZipResult::kWrite;
  if ((item.attributes & kZipAttrReadOnly) &&
      !env->SetReadOnly(temp.path(), true).ok()) {
    return ZipResult::kWrite;
  }
  if (!in_place) {
    temp.Keep();
    return ZipResult::kOk;
  }
  // Only now, with the file complete, does the empty directory go.
  if (env->IsDirectory(target) && !env->DeleteDirectory(target).ok()) {
    return ZipResult::kBlocked;
  }
  if (!env->RenameFile(temp.path(), target).ok()) return ZipResult::kWrite;
  temp.Keep();
  return ZipResult::kOk;
}

}  // namespace

ZipResult ZipUnzipItem(ZipArchive* archive, int index,
                       const std::u16string& target, ZipPlacement placement) {
  if (archive == nullptr || index < 0 || index >= archive->count()) {
    return ZipResult::kArguments;
  }
  ZipItem item;
  ZipResult r = ZipGetItem(archive, index, &item);
  if (r != ZipResult::kOk) return r;
  RawItem raw;
  if (!archive->Describe(index, &raw)) return ZipResult::kCorrupt;
  if (IsSymlinkItem(*raw.entry)) return ZipResult::kSymlink;

  const bool is_directory =
      (item.attributes & kZipAttrDirectory) != 0 ||
      (!raw.stored_name.empty() &&
       (raw.stored_name.back() == '/' || raw.stored_name.back() == '\\'));
  std::string relative;
  switch (ZipResolveTarget(archive->base_dir, target, is_directory,
                           &relative)) {
    case ZipTarget::kInside: break;
    case ZipTarget::kOutside:
    case ZipTarget::kNoName:
    case ZipTarget::kTemporary: return ZipResult::kRefused;
  }
  // Links and junctions on the way are followed: only the player can have
  // made them, since no item ever creates one.
  Env* env = archive->env;
  const std::string base = Utf16ToNarrow(archive->base_dir);
  const std::string full = base + relative;
  if (is_directory) {
    if (relative.empty()) return ZipResult::kOk;  // the base directory itself
    return env->CreateDirectories(full).ok() ? ZipResult::kOk
                                             : ZipResult::kNoFile;
  }
  const size_t slash = relative.find_last_of("/\\");
  if (slash != std::string::npos &&
      !env->CreateDirectories(base + relative.substr(0, slash)).ok()) {
    return ZipResult::kNoFile;
  }
  return ExtractFile(archive, raw, item, full, placement);
}

void ZipClose(ZipArchive* archive) { delete archive; }

}  // namespace dizedir
