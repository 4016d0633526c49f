#include "codec/zip.h"

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string_view>
#include <vector>

#include "codec/zip_names.h"
#include "platform/env.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr size_t kInflateChunk = 16384;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"
constexpr unsigned kUnixHost = 3;
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;

// minizip reads through these callbacks, so the archive is read through the
// Env like every other file.
struct ZipSource {
  ReadableFile* file = nullptr;
  uint64_t size = 0;
};

struct ZipStream {
  ZipSource* source = nullptr;
  uint64_t position = 0;
  bool failed = false;
};

voidpf OpenStream(voidpf opaque, const void* /*name*/, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
    return nullptr;
  }
  auto* stream = new ZipStream;
  stream->source = static_cast<ZipSource*>(opaque);
  return stream;
}

uLong ReadStream(voidpf /*opaque*/, voidpf handle, void* buf, uLong size) {
  auto* stream = static_cast<ZipStream*>(handle);
  size_t got = 0;
  if (!stream->source->file
           ->Read(stream->position, size, static_cast<char*>(buf), &got)
           .ok()) {
    stream->failed = true;
    return 0;
  }
  stream->position += got;
  return static_cast<uLong>(got);
}

uLong WriteStream(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T TellStream(voidpf /*opaque*/, voidpf handle) {
  return static_cast<ZipStream*>(handle)->position;
}

long SeekStream(voidpf /*opaque*/, voidpf handle, ZPOS64_T offset, int origin) {
  auto* stream = static_cast<ZipStream*>(handle);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = stream->position; break;
    case ZLIB_FILEFUNC_SEEK_END: base = stream->source->size; break;
    default: return -1;
  }
  stream->position = base + offset;
  return 0;
}

int CloseStream(voidpf /*opaque*/, voidpf handle) {
  delete static_cast<ZipStream*>(handle);
  return 0;
}

int StreamError(voidpf /*opaque*/, voidpf handle) {
  return static_cast<ZipStream*>(handle)->failed ? 1 : 0;
}

// Everything extraction needs to know about the current item.
struct RawItem {
  unz_file_info64 info{};
  std::string stored_name;
  std::string extra;
};

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SamePathChar(char16_t a, char16_t b) {
  if (IsSeparator(a) && IsSeparator(b)) return true;
  return FoldAscii(a) == FoldAscii(b);
}

bool IsAbsolute(std::u16string_view path) {
  return (!path.empty() && IsSeparator(path[0])) ||
         (path.size() >= 2 && path[1] == u':');
}

uint16_t GetU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}

}  // namespace

struct ZipArchive {
  Env* env = nullptr;
  std::unique_ptr<ReadableFile> file;
  ZipSource source;
  unzFile zip = nullptr;
  std::string password;
  bool has_password = false;
  std::u16string base_dir = u"./";
  int count = 0;
  int current = -1;  // the item minizip points at, -1 when unknown

  ~ZipArchive() {
    if (zip != nullptr) unzClose(zip);
  }

  bool GoTo(int index) {
    if (index < 0 || index >= count) return false;
    if (current < 0 || index < current) {
      current = -1;
      if (unzGoToFirstFile(zip) != UNZ_OK) return false;
      current = 0;
    }
    while (current < index) {
      if (unzGoToNextFile(zip) != UNZ_OK) {
        current = -1;
        return false;
      }
      ++current;
    }
    return true;
  }

  bool Describe(int index, RawItem* raw) {
    if (!GoTo(index)) return false;
    if (unzGetCurrentFileInfo64(zip, &raw->info, nullptr, 0, nullptr, 0,
                                nullptr, 0) != UNZ_OK) {
      return false;
    }
    raw->stored_name.assign(raw->info.size_filename, '\0');
    raw->extra.assign(raw->info.size_file_extra, '\0');
    return unzGetCurrentFileInfo64(
               zip, &raw->info, raw->stored_name.data(),
               static_cast<uLong>(raw->stored_name.size()), raw->extra.data(),
               static_cast<uLong>(raw->extra.size()), nullptr, 0) == UNZ_OK;
  }
};

namespace {

uint32_t AttributesOf(const unz_file_info64& info) {
  const unsigned host = (info.version >> 8) & 0xFF;
  const uint32_t external = static_cast<uint32_t>(info.external_fa);
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    return external & (kZipAttrReadOnly | kZipAttrHidden | kZipAttrSystem |
                       kZipAttrDirectory | kZipAttrArchive);
  }
  uint32_t attributes = kZipAttrArchive;
  if (external & (1u << 30)) attributes |= kZipAttrDirectory;
  if (!(external & (1u << 23))) attributes |= kZipAttrReadOnly;
  return attributes;
}

bool IsSymlinkItem(const unz_file_info64& info) {
  const unsigned host = (info.version >> 8) & 0xFF;
  return host == kUnixHost &&
         ((static_cast<uint32_t>(info.external_fa) >> 16) & kUnixTypeMask) ==
             kUnixSymlink;
}

void FillTimes(Env* env, const RawItem& raw, ZipItem* item) {
  const uint32_t dos = static_cast<uint32_t>(raw.info.dosDate);
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
  const auto* p = reinterpret_cast<const unsigned char*>(raw.extra.data());
  size_t left = raw.extra.size();
  while (left >= 4) {
    const uint16_t tag = GetU16(p);
    const size_t size = std::min<size_t>(GetU16(p + 2), left - 4);
    const unsigned char* data = p + 4;
    if (tag == kExtendedTimestampTag && size >= 1) {
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
    }
    p += 4 + size;
    left -= 4 + size;
  }
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

ZipResult ExtractFile(ZipArchive* a, const RawItem& raw, const ZipItem& item,
                      const std::string& target) {
  Env* env = a->env;
  if ((raw.info.flag & 1) != 0 && !a->has_password) return ZipResult::kPassword;
  if (unzOpenCurrentFilePassword(
          a->zip, a->has_password ? a->password.c_str() : nullptr) != UNZ_OK) {
    return ZipResult::kCorrupt;
  }
  TempFile temp(env, target + std::string(kTempSuffix));
  if (!env->NewWritableFile(temp.path(), &temp.file).ok()) {
    unzCloseCurrentFile(a->zip);
    return ZipResult::kNoFile;
  }
  std::vector<char> chunk(kInflateChunk);
  uint64_t total = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  ZipResult result = ZipResult::kOk;
  for (;;) {
    const int n = unzReadCurrentFile(a->zip, chunk.data(),
                                     static_cast<unsigned>(chunk.size()));
    if (n < 0) {
      result = ZipResult::kCorrupt;
      break;
    }
    if (n == 0) break;
    total += static_cast<unsigned>(n);
    // More data than declared is a zip bomb or a lie; either way the
    // declared size is all that may reach the disk.
    if (total > item.uncompressed_size) {
      result = ZipResult::kCorrupt;
      break;
    }
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()),
                static_cast<uInt>(n));
    if (!temp.file->Append(std::string_view(chunk.data(), n)).ok()) {
      result = ZipResult::kWrite;
      break;
    }
  }
  const int closed = unzCloseCurrentFile(a->zip);
  if (result != ZipResult::kOk) return result;
  if (closed != UNZ_OK || total != item.uncompressed_size ||
      crc != raw.info.crc) {
    return ZipResult::kCorrupt;
  }
  if (!temp.file->Sync().ok() || !temp.file->Close().ok()) {
    return ZipResult::kWrite;
  }
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
  if (!env->RenameFile(temp.path(), target).ok()) return ZipResult::kWrite;
  temp.Keep();
  return ZipResult::kOk;
}

// An end-of-central-directory record alone: no items, no central directory,
// only an optional comment after it.
bool IsEmptyArchive(ReadableFile* file, uint64_t size) {
  constexpr size_t kEndRecordSize = 22;
  unsigned char end[kEndRecordSize];
  size_t got = 0;
  if (size < kEndRecordSize ||
      !file->Read(0, kEndRecordSize, reinterpret_cast<char*>(end), &got).ok() ||
      got != kEndRecordSize) {
    return false;
  }
  return GetU32(end) == 0x06054b50 && GetU16(end + 8) == 0 &&
         GetU16(end + 10) == 0 && GetU32(end + 12) == 0 &&
         GetU32(end + 16) == 0 &&
         kEndRecordSize + GetU16(end + 20) == size;
}

}  // namespace

ZipArchive* ZipOpenFile(Env* env, const std::u16string& path,
                        const char* password) {
  if (env == nullptr) return nullptr;
  auto a = std::make_unique<ZipArchive>();
  a->env = env;
  const std::string narrow = Utf16ToNarrow(path);
  if (!env->NewReadableFile(narrow, &a->file).ok() ||
      !a->file->Size(&a->source.size).ok()) {
    return nullptr;
  }
  a->source.file = a->file.get();
  zlib_filefunc64_def functions;
  functions.zopen64_file = OpenStream;
  functions.zread_file = ReadStream;
  functions.zwrite_file = WriteStream;
  functions.ztell64_file = TellStream;
  functions.zseek64_file = SeekStream;
  functions.zclose_file = CloseStream;
  functions.zerror_file = StreamError;
  functions.opaque = &a->source;
  a->zip = unzOpen2_64(narrow.c_str(), &functions);
  if (a->zip == nullptr) {
    // minizip cannot find an end record at offset 0, which is exactly where
    // an archive without items keeps it.
    return IsEmptyArchive(a->file.get(), a->source.size) ? a.release()
                                                         : nullptr;
  }
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(a->zip, &global) != UNZ_OK) return nullptr;
  a->count = static_cast<int>(
      std::min<ZPOS64_T>(global.number_entry, static_cast<ZPOS64_T>(INT_MAX)));
  if (password != nullptr) {
    a->password = password;
    a->has_password = true;
  }
  return a.release();
}

ZipResult ZipSetBaseDir(ZipArchive* archive, const std::u16string& dir) {
  if (archive == nullptr) return ZipResult::kArguments;
  archive->base_dir = dir;
  if (dir.empty() || !IsSeparator(dir.back())) archive->base_dir += u'\\';
  return ZipResult::kOk;
}

ZipResult ZipGetItem(ZipArchive* archive, int index, ZipItem* item) {
  if (archive == nullptr || item == nullptr) return ZipResult::kArguments;
  if (index == -1) {
    *item = ZipItem();
    item->index = archive->count;
    return ZipResult::kOk;
  }
  RawItem raw;
  if (index < -1 || index >= archive->count) return ZipResult::kArguments;
  if (!archive->Describe(index, &raw)) return ZipResult::kCorrupt;
  *item = ZipItem();
  item->index = index;
  item->name = ZipCleanName(Utf8ToUtf16(raw.stored_name));
  item->attributes = AttributesOf(raw.info);
  FillTimes(archive->env, raw, item);
  item->compressed_size = raw.info.compressed_size;
  item->uncompressed_size = raw.info.uncompressed_size;
  item->symbolic_link = IsSymlinkItem(raw.info);
  return ZipResult::kOk;
}

ZipResult ZipUnzipItem(ZipArchive* archive, int index,
                       const std::u16string& target) {
  if (archive == nullptr || index < 0 || index >= archive->count) {
    return ZipResult::kArguments;
  }
  ZipItem item;
  ZipResult r = ZipGetItem(archive, index, &item);
  if (r != ZipResult::kOk) return r;
  RawItem raw;
  if (!archive->Describe(index, &raw)) return ZipResult::kCorrupt;
  if (IsSymlinkItem(raw.info)) return ZipResult::kRefused;

  // The part of the target below the base directory.
  const std::u16string& base = archive->base_dir;
  std::u16string relative = target;
  if (IsAbsolute(target)) {
    if (!IsAbsolute(base) || target.size() < base.size() ||
        !std::equal(base.begin(), base.end(), target.begin(), SamePathChar)) {
      return ZipResult::kRefused;
    }
    relative = target.substr(base.size());
  }
  if (!ZipNameIsContained(relative)) return ZipResult::kRefused;

  const bool is_directory =
      (item.attributes & kZipAttrDirectory) != 0 ||
      (!raw.stored_name.empty() &&
       (raw.stored_name.back() == '/' || raw.stored_name.back() == '\\'));
  while (!relative.empty() && IsSeparator(relative.back())) relative.pop_back();
  if (relative.empty()) {
    return is_directory ? ZipResult::kOk : ZipResult::kRefused;
  }

  Env* env = archive->env;
  const std::string base_narrow = Utf16ToNarrow(base);
  const std::string relative_narrow = Utf16ToNarrow(relative);
  // No step of the way may be a symbolic link: one planted by an earlier
  // item or by anyone else would carry the write out of the base directory.
  for (size_t at = 0; at <= relative_narrow.size(); ++at) {
    if (at == relative_narrow.size() || relative_narrow[at] == '/' ||
        relative_narrow[at] == '\\') {
      if (env->IsSymbolicLink(base_narrow + relative_narrow.substr(0, at))) {
        return ZipResult::kRefused;
      }
    }
  }
  const std::string full = base_narrow + relative_narrow;
  if (is_directory) {
    return env->CreateDirectories(full).ok() ? ZipResult::kOk
                                             : ZipResult::kNoFile;
  }
  const size_t slash = relative_narrow.find_last_of("/\\");
  if (slash != std::string::npos &&
      !env->CreateDirectories(base_narrow + relative_narrow.substr(0, slash))
           .ok()) {
    return ZipResult::kNoFile;
  }
  return ExtractFile(archive, raw, item, full);
}

void ZipClose(ZipArchive* archive) { delete archive; }

}  // namespace dizedir
