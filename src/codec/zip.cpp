#include "codec/zip.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/zip_names.h"
#include "platform/env.h"
#include "platform/text.h"

// libzip reads the archive: it finds and reads the central directory and
// the zip64 records, checks every local header against its central record
// (ZIP_CHECKCONS: names, methods, sizes and CRC alike; items reaching into
// the central directory; two items of one name), and inflates. Its public
// interface does not say where an item's local header lies, though, and its
// checks miss a local header placed inside another item's data and end
// records that disagree on the item count. A short scan (ScanLayout below)
// covers that before libzip opens the archive: it finds the end records and
// takes from each central record only the local header's offset, the sizes,
// the CRC-32 and the DOS time, and from each local header its two lengths,
// and refuses items that overlap. Its records must then match libzip's
// items (SameItems), so both have read one and the same directory.

namespace dizedir {
namespace {

constexpr size_t kChunk = 16384;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;

// A failed allocation in libzip comes back as an error code; everywhere
// else in the system it is std::bad_alloc, which fails the task with a text.
void ThrowIfOutOfMemory(const zip_error_t* error) {
  if (zip_error_code_zip(error) == ZIP_ER_MEMORY) throw std::bad_alloc();
}

// ---------------------------------------------------------------------------
// The archive's bytes: one file, or a split archive's parts end to end.

// libzip takes offsets and sizes as signed 64-bit numbers.
constexpr uint64_t kMaxArchiveBytes = uint64_t{INT64_MAX};

// Reads the parts as one stream. Their sizes are taken at open and every
// later read holds each part it touches to its size: a part that ends early
// or runs on fails the read, never shifts the bytes behind it. Only one
// part is open at a time, so a split into thousands of parts costs no more
// handles than a single file; the scan, libzip and extraction each read
// front to back, so a part is opened only a few times in all.
class PartsFile : public ReadableFile {
 public:
  static ZipResult Open(Env* env, const std::vector<std::u16string>& paths,
                        std::unique_ptr<PartsFile>* result) {
    if (paths.empty()) return ZipResult::kArguments;
    if (paths.size() > kZipMaxParts) return ZipResult::kLimits;
    std::unique_ptr<PartsFile> parts(new PartsFile(env));
    parts->paths_.reserve(paths.size());
    parts->starts_.reserve(paths.size() + 1);
    parts->starts_.push_back(0);
    for (const std::u16string& path : paths) {
      parts->paths_.push_back(Utf16ToNarrow(path));
      parts->current_.reset();
      uint64_t size = 0;
      if (!env->NewReadableFile(parts->paths_.back(), &parts->current_).ok() ||
          !parts->current_->Size(&size).ok()) {
        return ZipResult::kNoFile;
      }
      const uint64_t start = parts->starts_.back();
      if (size > kMaxArchiveBytes - start) return ZipResult::kLimits;
      parts->starts_.push_back(start + size);
    }
    // The last part, which holds the end records, stays open.
    parts->current_index_ = paths.size() - 1;
    *result = std::move(parts);
    return ZipResult::kOk;
  }

  Status Read(uint64_t offset, size_t n, char* scratch,
              size_t* bytes_read) override {
    *bytes_read = 0;
    while (*bytes_read < n && offset < starts_.back()) {
      // The part holding `offset`; empty parts hold nothing and are passed.
      const size_t part = static_cast<size_t>(
          std::upper_bound(starts_.begin(), starts_.end(), offset) -
          starts_.begin() - 1);
      const uint64_t within = offset - starts_[part];
      const uint64_t part_size = starts_[part + 1] - starts_[part];
      const size_t want = static_cast<size_t>(
          std::min<uint64_t>(n - *bytes_read, part_size - within));
      Status s = Select(part);
      if (!s.ok()) return s;
      size_t got = 0;
      while (got < want) {
        size_t chunk = 0;
        s = current_->Read(within + got, want - got, scratch + *bytes_read + got,
                           &chunk);
        if (!s.ok()) return s;
        if (chunk == 0) return Changed(part);
        got += chunk;
      }
      *bytes_read += want;
      offset += want;
    }
    return Status::OK();
  }

  Status Size(uint64_t* size) override {
    *size = starts_.back();
    return Status::OK();
  }

  // How many leading parts end at or before `offset`; the open one among
  // them is closed, so they may be deleted.
  size_t ReleaseBefore(uint64_t offset) {
    size_t count = 0;
    while (count + 1 < starts_.size() && starts_[count + 1] <= offset) ++count;
    if (current_ != nullptr && current_index_ < count) current_.reset();
    return count;
  }

 private:
  explicit PartsFile(Env* env) : env_(env) {}

  // Makes `part` the open one and checks that it still has its size; a
  // stat per read costs far less than the read itself.
  Status Select(size_t part) {
    Status s;
    if (current_ == nullptr || current_index_ != part) {
      current_.reset();
      s = env_->NewReadableFile(paths_[part], &current_);
      if (!s.ok()) {
        current_.reset();
        return s;
      }
      current_index_ = part;
    }
    uint64_t size = 0;
    s = current_->Size(&size);
    if (s.ok() && size != starts_[part + 1] - starts_[part]) s = Changed(part);
    return s;
  }

  Status Changed(size_t part) const {
    return Status::Corruption("changed size since it was opened: " +
                              paths_[part]);
  }

  Env* const env_;
  std::vector<std::string> paths_;
  // Where each part begins in the stream; the last entry is its size.
  std::vector<uint64_t> starts_;
  std::unique_ptr<ReadableFile> current_;
  size_t current_index_ = 0;
};

// ---------------------------------------------------------------------------
// The layout scan: where each item's local header and data lie.

constexpr uint16_t kZip64Tag = 0x0001;
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

// Up to n bytes at offset, fewer only at the end of the file; false when
// the file cannot be read.
bool ReadUpTo(ReadableFile* file, uint64_t offset, size_t n, char* out,
              size_t* got) {
  *got = 0;
  while (*got < n) {
    size_t chunk = 0;
    if (!file->Read(offset + *got, n - *got, out + *got, &chunk).ok()) {
      return false;
    }
    if (chunk == 0) break;
    *got += chunk;
  }
  return true;
}

// Exactly n bytes at offset, or false.
bool ReadAt(ReadableFile* file, uint64_t offset, size_t n, unsigned char* out) {
  size_t got = 0;
  return ReadUpTo(file, offset, n, reinterpret_cast<char*>(out), &got) &&
         got == n;
}

// Reads a region front to back through one buffer of fixed size, so the
// central directory costs a read per 64 KiB, not one per record.
class SequentialReader {
 public:
  static constexpr size_t kBlock = 1 << 16;

  SequentialReader(ReadableFile* file, uint64_t offset, uint64_t end)
      : file_(file), position_(offset), end_(end) {}

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

// What the scan keeps of one central-directory record, with the sizes and
// the offset taken from the zip64 block where the 32-bit fields are
// saturated. Sizes and CRC tie the scan's records to libzip's items.
struct Record {
  uint64_t local = 0;  // offset of its local header
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint32_t crc = 0;
  // Date in the high half, as stored. libzip offers it only as a time_t of
  // the C library's making; Env's conversion is the system's one rule (on
  // Windows the bias of that date), so the raw value is kept.
  uint32_t dos_time = 0;
};

// Replaces the saturated fields by the zip64 block's values, which come in
// this fixed order and only for the fields that are saturated. False when a
// saturated field has no value there. libzip keeps the block to itself, and
// the offset is in no other place.
bool ApplyZip64(const unsigned char* extra, size_t left, Record* r,
                uint32_t* disk) {
  const bool need_size = r->uncompressed == kSaturated32;
  const bool need_compressed = r->compressed == kSaturated32;
  const bool need_offset = r->local == kSaturated32;
  const bool need_disk = *disk == kSaturated16;
  if (!need_size && !need_compressed && !need_offset && !need_disk) return true;
  // The first zip64 block; one announcing more than is left is cut there.
  while (left >= 4 && GetU16(extra) != kZip64Tag) {
    const size_t skip = std::min<size_t>(4 + GetU16(extra + 2), left);
    extra += skip;
    left -= skip;
  }
  if (left < 4) return false;
  const unsigned char* data = extra + 4;
  const size_t size = std::min<size_t>(GetU16(extra + 2), left - 4);
  size_t at = 0;
  auto take64 = [&](uint64_t* field) {
    if (at + 8 > size) return false;
    *field = GetU64(data + at);
    at += 8;
    return true;
  };
  if ((need_size && !take64(&r->uncompressed)) ||
      (need_compressed && !take64(&r->compressed)) ||
      (need_offset && !take64(&r->local))) {
    return false;
  }
  if (need_disk) {
    if (at + 4 > size) return false;
    *disk = GetU32(data + at);
  }
  return true;
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

// Reads every central-directory record, then every local header's length,
// and refuses an archive whose items share bytes or reach past their room.
ZipResult ScanLayout(ReadableFile* file, uint64_t file_size,
                     std::vector<Record>* records) {
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

  records->clear();
  records->reserve(static_cast<size_t>(dir.count));
  SequentialReader reader(file, dir.offset, dir.offset + dir.size);
  for (uint64_t i = 0; i < dir.count; ++i) {
    const unsigned char* p = nullptr;
    if (!reader.Next(kCentralSize, &p) || GetU32(p) != kCentralSignature) {
      return ZipResult::kCorrupt;
    }
    Record r;
    r.dos_time = (uint32_t{GetU16(p + 14)} << 16) | GetU16(p + 12);
    r.crc = GetU32(p + 16);
    r.compressed = GetU32(p + 20);
    r.uncompressed = GetU32(p + 24);
    const uint16_t name_length = GetU16(p + 28);
    const uint16_t extra_length = GetU16(p + 30);
    const uint16_t comment_length = GetU16(p + 32);
    uint32_t disk = GetU16(p + 34);
    r.local = GetU32(p + 42);
    if (name_length > kZipMaxNameBytes) return ZipResult::kLimits;
    // Name, extra field and comment in one piece, so the extra field stays
    // valid while it is read.
    const unsigned char* rest = nullptr;
    if (!reader.Next(size_t{name_length} + extra_length + comment_length,
                     &rest) ||
        !ApplyZip64(rest + name_length, extra_length, &r, &disk) || disk != 0) {
      return ZipResult::kCorrupt;
    }
    records->push_back(r);
  }

  // Every item's local header and data must end before the central
  // directory (which itself ends before the end records), so nothing of
  // an item can be read past the file's end.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(records->size());
  for (const Record& r : *records) {
    unsigned char header[kLocalSize];
    if (r.local > dir.offset || dir.offset - r.local < kLocalSize) {
      return ZipResult::kOverlap;
    }
    if (!ReadAt(file, r.local, kLocalSize, header)) return ZipResult::kNoFile;
    if (GetU32(header) != kLocalSignature) return ZipResult::kCorrupt;
    const uint64_t data =
        r.local + kLocalSize + GetU16(header + 26) + GetU16(header + 28);
    if (data > dir.offset || r.compressed > dir.offset - data) {
      return ZipResult::kOverlap;
    }
    ranges.emplace_back(r.local, data + r.compressed);
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) return ZipResult::kOverlap;
  }
  return ZipResult::kOk;
}

// ---------------------------------------------------------------------------
// libzip over Env.

// Serves libzip's reads from the archive's ReadableFile, so every byte it
// sees comes through Env (a wrapped or an in-memory one included). It
// offers no write command: libzip can never change the file.
class EnvSource {
 public:
  EnvSource(ReadableFile* file, uint64_t size) : file_(file), size_(size) {
    zip_error_init(&error_);
  }
  ~EnvSource() { zip_error_fini(&error_); }
  EnvSource(const EnvSource&) = delete;
  EnvSource& operator=(const EnvSource&) = delete;

  // True once a read of the file itself has failed.
  bool read_failed() const { return read_failed_; }

  static zip_int64_t Callback(void* self, void* data, zip_uint64_t len,
                              zip_source_cmd_t command) {
    auto* source = static_cast<EnvSource*>(self);
    // libzip is C: nothing may unwind through it.
    try {
      return source->Handle(data, len, command);
    } catch (...) {
      zip_error_set(&source->error_, ZIP_ER_MEMORY, 0);
      return -1;
    }
  }

 private:
  zip_int64_t Handle(void* data, zip_uint64_t len, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_OPEN:
        position_ = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(
            {len, size_ - std::min(position_, size_), SIZE_MAX}));
        size_t got = 0;
        if (!ReadUpTo(file_, position_, want, static_cast<char*>(data), &got)) {
          read_failed_ = true;
          zip_error_set(&error_, ZIP_ER_READ, 0);
          return -1;
        }
        position_ += got;
        return static_cast<zip_int64_t>(got);
      }
      case ZIP_SOURCE_CLOSE:
      case ZIP_SOURCE_FREE:  // the archive owns the file
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &error_);
        if (st == nullptr) return -1;
        zip_stat_init(st);
        st->size = size_;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, len);
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t to =
            zip_source_seek_compute_offset(position_, size_, data, len, &error_);
        if (to < 0) return -1;
        position_ = static_cast<uint64_t>(to);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(position_);
      case ZIP_SOURCE_ACCEPT_EMPTY:
        return 0;  // a file of no bytes is no archive
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE |
               ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_ACCEPT_EMPTY);
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  ReadableFile* const file_;
  const uint64_t size_;
  uint64_t position_ = 0;
  zip_error_t error_;
  bool read_failed_ = false;
};

using ZipHandle = std::unique_ptr<zip_t, decltype(&zip_discard)>;

// Opens the archive read-only with libzip's stricter checks. Null with
// *why set when libzip refuses it.
ZipHandle OpenWithLibzip(EnvSource* source, ZipResult* why) {
  ZipHandle archive(nullptr, zip_discard);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* zs =
      zip_source_function_create(&EnvSource::Callback, source, &error);
  if (zs != nullptr) {
    archive.reset(zip_open_from_source(zs, ZIP_RDONLY | ZIP_CHECKCONS, &error));
    // Only an archive that opened owns its source.
    if (archive == nullptr) zip_source_free(zs);
  }
  const int code = zip_error_code_zip(&error);
  zip_error_fini(&error);
  if (archive != nullptr) return archive;
  if (code == ZIP_ER_MEMORY) throw std::bad_alloc();
  *why = source->read_failed() ? ZipResult::kNoFile : ZipResult::kCorrupt;
  return archive;
}

// libzip's description of an item, as every use here needs it.
bool StatItem(zip_t* archive, int index, zip_stat_t* st) {
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE |
                                   ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD |
                                   ZIP_STAT_ENCRYPTION_METHOD;
  if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW,
                     st) != 0) {
    ThrowIfOutOfMemory(zip_get_error(archive));
    return false;
  }
  return (st->valid & kNeeded) == kNeeded;
}

// ---------------------------------------------------------------------------
// Item descriptions.

// Hosts whose external attributes are Windows attribute bits, in Info-ZIP's
// numbering: FAT, Macintosh, NTFS, VFAT.
uint32_t AttributesOf(zip_uint8_t host, zip_uint32_t external) {
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    return external & (kZipAttrReadOnly | kZipAttrHidden | kZipAttrSystem |
                       kZipAttrDirectory | kZipAttrArchive);
  }
  uint32_t attributes = kZipAttrArchive;
  if (external & (1u << 30)) attributes |= kZipAttrDirectory;
  if (!(external & (1u << 23))) attributes |= kZipAttrReadOnly;
  return attributes;
}

bool IsSymlinkItem(zip_uint8_t host, zip_uint32_t external) {
  return host == ZIP_OPSYS_UNIX &&
         ((external >> 16) & kUnixTypeMask) == kUnixSymlink;
}

// All three times start as the DOS time, taken as local time; the extended
// timestamp block (a flags byte, then the times it announces in the order
// modification, access, creation, as far as the block holds them) replaces
// them. Central-directory copies usually carry the modification time only.
void FillTimes(Env* env, uint32_t dos, const zip_uint8_t* block,
               size_t size, ZipItem* item) {
  const uint32_t date = dos >> 16;
  const uint32_t time = dos & 0xFFFF;
  LocalTime local;
  local.year = static_cast<int>(((date >> 9) & 0x7F) + 1980);
  local.month = static_cast<int>((date >> 5) & 0x0F);
  local.day = static_cast<int>(date & 0x1F);
  local.hour = static_cast<int>(time >> 11);
  local.minute = static_cast<int>((time >> 5) & 0x3F);
  local.second = static_cast<int>((time & 0x1F) * 2);
  item->creation_time = item->last_access_time = item->last_write_time =
      env->LocalTimeToUnix(local);
  if (block == nullptr || size < 1) return;
  int64_t* targets[] = {&item->last_write_time, &item->last_access_time,
                        &item->creation_time};
  size_t at = 1;
  for (int bit = 0; bit < 3; ++bit) {
    if (!(block[0] & (1u << bit))) continue;
    if (at + 4 > size) break;
    *targets[bit] = GetU32(block + at);
    at += 4;
  }
}

}  // namespace

struct ZipArchive {
  Env* env = nullptr;
  // Declared in this order so libzip's handle goes before its source and
  // the source before the file.
  std::unique_ptr<ReadableFile> file;
  PartsFile* parts = nullptr;  // `file`
  std::unique_ptr<EnvSource> source;
  ZipHandle zip{nullptr, zip_discard};
  std::vector<uint32_t> dos_times;
  // needed_from[i]: the lowest local header offset of items i and after;
  // the archive's size past the last item.
  std::vector<uint64_t> needed_from;
  std::u16string base_dir = u"./";
  ZipTotals totals;
  bool totals_overflow = false;

  int count() const { return static_cast<int>(dos_times.size()); }
};

namespace {

// The scan and libzip must describe the same items: a file with two end
// records could otherwise show each a different archive, and the overlap
// check would have vetted the wrong one.
bool SameItems(zip_t* zip, const std::vector<Record>& records) {
  if (zip_get_num_entries(zip, 0) != static_cast<zip_int64_t>(records.size())) {
    return false;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    zip_stat_t st;
    if (!StatItem(zip, static_cast<int>(i), &st) ||
        st.comp_size != records[i].compressed ||
        st.size != records[i].uncompressed || st.crc != records[i].crc) {
      return false;
    }
  }
  return true;
}

}  // namespace

ZipArchive* ZipOpenFile(Env* env, const std::u16string& path,
                        const char* /*password*/, ZipResult* why) {
  return ZipOpenParts(env, {path}, why);
}

ZipArchive* ZipOpenParts(Env* env, const std::vector<std::u16string>& part_paths,
                         ZipResult* why) {
  ZipResult ignored;
  if (why == nullptr) why = &ignored;
  *why = ZipResult::kArguments;
  if (env == nullptr) return nullptr;
  auto a = std::make_unique<ZipArchive>();
  a->env = env;
  std::unique_ptr<PartsFile> parts;
  *why = PartsFile::Open(env, part_paths, &parts);
  if (*why != ZipResult::kOk) return nullptr;
  uint64_t size = 0;
  parts->Size(&size);
  a->parts = parts.get();
  a->file = std::move(parts);
  std::vector<Record> records;
  *why = ScanLayout(a->file.get(), size, &records);
  if (*why != ZipResult::kOk) return nullptr;
  a->source = std::make_unique<EnvSource>(a->file.get(), size);
  a->zip = OpenWithLibzip(a->source.get(), why);
  if (a->zip == nullptr) return nullptr;
  if (!SameItems(a->zip.get(), records)) {
    *why = ZipResult::kCorrupt;
    return nullptr;
  }
  a->totals.items = records.size();
  a->needed_from.assign(records.size() + 1, size);
  for (size_t i = records.size(); i-- > 0;) {
    a->needed_from[i] = std::min(records[i].local, a->needed_from[i + 1]);
  }
  a->dos_times.reserve(records.size());
  for (const Record& r : records) {
    a->dos_times.push_back(r.dos_time);
    // The compressed ranges are disjoint parts of the file: no overflow.
    a->totals.compressed_bytes += r.compressed;
    if (r.uncompressed > UINT64_MAX - a->totals.uncompressed_bytes) {
      a->totals_overflow = true;
      a->totals.uncompressed_bytes = UINT64_MAX;
    } else if (!a->totals_overflow) {
      a->totals.uncompressed_bytes += r.uncompressed;
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
  if (index < -1 || index >= archive->count()) return ZipResult::kArguments;
  zip_t* zip = archive->zip.get();
  const auto at = static_cast<zip_uint64_t>(index);
  zip_stat_t st;
  // The stored bytes, read as UTF-8 whatever the archive says of them.
  const char* name = zip_get_name(zip, at, ZIP_FL_ENC_RAW);
  zip_uint8_t host = 0;
  zip_uint32_t external = 0;
  if (!StatItem(zip, index, &st) || name == nullptr ||
      zip_file_get_external_attributes(zip, at, 0, &host, &external) != 0) {
    ThrowIfOutOfMemory(zip_get_error(zip));
    return ZipResult::kCorrupt;
  }
  zip_uint16_t length = 0;
  const zip_uint8_t* timestamp = zip_file_extra_field_get_by_id(
      zip, at, kExtendedTimestampTag, 0, &length, ZIP_FL_CENTRAL);
  *item = ZipItem();
  item->index = index;
  item->name = ZipCleanName(Utf8ToUtf16(name));
  item->attributes = AttributesOf(host, external);
  FillTimes(archive->env, archive->dos_times[at], timestamp, length, item);
  item->compressed_size = st.comp_size;
  item->uncompressed_size = st.size;
  item->symbolic_link = IsSymlinkItem(host, external);
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

// A full disk is worth telling the player apart from other write errors.
ZipResult WriteFailure(const Status& s) {
  return s.IsNoSpace() ? ZipResult::kDiskFull : ZipResult::kWrite;
}

// Writes the item's data to `out`, never more than it declares, and checks
// its size and CRC-32 here rather than trusting libzip with them: libzip
// lets an item inflate past its declared size and skips the CRC of an empty
// one.
ZipResult Inflate(zip_t* zip, int index, const zip_stat_t& st,
                  WritableFile* out) {
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> in(
      zip_fopen_index(zip, static_cast<zip_uint64_t>(index), 0), zip_fclose);
  if (in == nullptr) {
    ThrowIfOutOfMemory(zip_get_error(zip));
    return ZipResult::kCorrupt;
  }
  std::vector<char> chunk(kChunk);
  uint64_t left = st.size;
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    // One byte more than is left, so an item that inflates past its
    // declared size is refused before any of the excess reaches the disk.
    const size_t want = left < chunk.size() ? static_cast<size_t>(left) + 1
                                            : chunk.size();
    const zip_int64_t n = zip_fread(in.get(), chunk.data(), want);
    if (n < 0) {
      ThrowIfOutOfMemory(zip_file_get_error(in.get()));
      return ZipResult::kCorrupt;
    }
    if (n == 0) break;
    const auto got = static_cast<uint64_t>(n);
    if (got > left) return ZipResult::kCorrupt;
    left -= got;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()),
                static_cast<uInt>(got));
    const Status written = out->Append(std::string_view(chunk.data(), static_cast<size_t>(got)));
    if (!written.ok()) return WriteFailure(written);
  }
  return left == 0 && crc == st.crc ? ZipResult::kOk : ZipResult::kCorrupt;
}

ZipResult ExtractFile(ZipArchive* a, int index, const ZipItem& item,
                      const std::string& target, ZipPlacement placement) {
  Env* env = a->env;
  zip_stat_t st;
  if (!StatItem(a->zip.get(), index, &st)) return ZipResult::kCorrupt;
  if (st.encryption_method != ZIP_EM_NONE) return ZipResult::kPassword;
  if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE) {
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
  const ZipResult inflated = Inflate(a->zip.get(), index, st, temp.file.get());
  if (inflated != ZipResult::kOk) return inflated;
  Status synced = temp.file->Sync();
  if (synced.ok()) synced = temp.file->Close();
  if (!synced.ok()) return WriteFailure(synced);
  temp.file.reset();
  FileTimes times;
  times.modified = item.last_write_time;
  times.accessed = item.last_access_time;
  times.created = item.creation_time;
  // Times and attributes go on before the rename, which keeps them.
  if (!env->SetFileTimes(temp.path(), times).ok()) return ZipResult::kWrite;
  FileAttributes attributes;
  attributes.read_only = (item.attributes & kZipAttrReadOnly) != 0;
  attributes.hidden = (item.attributes & kZipAttrHidden) != 0;
  attributes.system = (item.attributes & kZipAttrSystem) != 0;
  attributes.archive = (item.attributes & kZipAttrArchive) != 0;
  // A new file is already what an item with only the archive flag asks for.
  const bool plain = !attributes.read_only && !attributes.hidden &&
                     !attributes.system && attributes.archive;
  if (!plain && !env->SetAttributes(temp.path(), attributes).ok()) {
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
  if (item.symbolic_link) return ZipResult::kSymlink;

  const char* stored = zip_get_name(archive->zip.get(),
                                    static_cast<zip_uint64_t>(index),
                                    ZIP_FL_ENC_RAW);
  const std::string_view name = stored != nullptr ? stored : "";
  const bool is_directory =
      (item.attributes & kZipAttrDirectory) != 0 ||
      (!name.empty() && (name.back() == '/' || name.back() == '\\'));
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
  return ExtractFile(archive, index, item, full, placement);
}

size_t ZipReleaseParts(ZipArchive* archive, int next_index) {
  if (archive == nullptr || next_index < 0) return 0;
  const size_t from = std::min<size_t>(static_cast<size_t>(next_index), archive->count());
  return archive->parts->ReleaseBefore(archive->needed_from[from]);
}

void ZipClose(ZipArchive* archive) { delete archive; }

}  // namespace dizedir
