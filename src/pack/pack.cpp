#include "pack/pack.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "codec/md5.h"
#include "pack/pack_index.h"
#include "platform/env.h"

namespace dizedir {

struct PackArchive {
  Env* env = nullptr;
  bool read_only = false;
  std::string path;
  // The file the archive was loaded from. A read-only archive reads its
  // blocks from it; one opened for update copies the blocks it did not
  // change from it at save. A save renames a new file over the path, but
  // this handle keeps the old contents readable.
  std::unique_ptr<ReadableFile> file;
  PackIndex index;
};

namespace {

// Deflate cannot expand a stream by more than this factor; a row claiming
// more is damaged, and trusting it would make callers allocate without limit.
constexpr uint64_t kMaxInflateRatio = 1032;
// Rows parsed per read while loading, and bytes gathered per write while
// saving: large enough to stream at disk speed, small enough to keep the
// memory of a save flat.
constexpr size_t kRowsPerRead = 1024;
constexpr size_t kCopyChunk = size_t{1} << 20;

uint32_t GetU32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}

void PutU32(std::string* out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                         static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out->append(bytes, 4);
}

bool ReadExactly(ReadableFile* file, uint64_t offset, size_t n, char* out) {
  size_t got = 0;
  return file->Read(offset, n, out, &got).ok() && got == n;
}

// Reads the header and table of `file` into `index`, refusing anything the
// file cannot actually hold.
bool LoadTable(ReadableFile* file, PackIndex* index) {
  uint64_t file_size = 0;
  if (!file->Size(&file_size).ok()) return false;
  unsigned char header[kPackHeaderSize];
  if (file_size < kPackHeaderSize ||
      !ReadExactly(file, 0, kPackHeaderSize, reinterpret_cast<char*>(header))) {
    return false;
  }
  const uint64_t count = GetU32(header + 4);
  if (kPackHeaderSize + count * kPackRowSize > file_size) return false;

  std::vector<unsigned char> rows(std::min<uint64_t>(count, kRowsPerRead) *
                                  kPackRowSize);
  uint64_t done = 0;
  while (done < count) {
    const size_t batch = static_cast<size_t>(
        std::min<uint64_t>(count - done, kRowsPerRead));
    if (!ReadExactly(file, kPackHeaderSize + done * kPackRowSize,
                     batch * kPackRowSize,
                     reinterpret_cast<char*>(rows.data()))) {
      return false;
    }
    for (size_t r = 0; r < batch; ++r) {
      const unsigned char* row = rows.data() + r * kPackRowSize;
      auto entry = std::make_unique<PackEntry>();
      entry->id = GetU32(row);
      entry->offset = GetU32(row + 4);
      entry->size = GetU32(row + 8);
      entry->stored_size = GetU32(row + 12);
      entry->compressed = GetU32(row + 16);
      std::memcpy(entry->digest, row + 20, kPackDigestSize);
      entry->source_offset = entry->offset;
      if (uint64_t{entry->offset} + entry->stored_size > file_size) {
        return false;
      }
      if (entry->compressed == 0 ? entry->size != entry->stored_size
                                 : entry->size > kMaxInflateRatio *
                                                     entry->stored_size) {
        return false;
      }
      index->Insert(std::move(entry));
    }
    done += batch;
  }
  return true;
}

PackArchive* Open(Env* env, const std::string& path, bool read_only) {
  if (env == nullptr) return nullptr;
  auto archive = std::make_unique<PackArchive>();
  archive->env = env;
  archive->read_only = read_only;
  archive->path = path;
  Status s = env->NewReadableFile(path, &archive->file);
  if (!s.ok()) {
    // Only a file that is really absent counts as an empty archive: one that
    // exists but cannot be read would be overwritten by the next save.
    if (read_only || env->FileExists(path)) return nullptr;
    archive->file.reset();
    return archive.release();
  }
  if (!LoadTable(archive->file.get(), &archive->index)) return nullptr;
  return archive.release();
}

// The entry's block: in memory, or read from the source file into scratch.
const char* GetBlock(PackArchive* archive, const PackEntry* entry,
                     std::unique_ptr<char[]>* scratch) {
  if (entry->in_memory) {
    return static_cast<const PackEntryData*>(entry)->data.get();
  }
  if (archive->file == nullptr) return nullptr;
  scratch->reset(new char[std::max<uint32_t>(entry->stored_size, 1)]);
  if (!ReadExactly(archive->file.get(), entry->source_offset,
                   entry->stored_size, scratch->get())) {
    return nullptr;
  }
  return scratch->get();
}

// Streams the new pack file: buffers small writes and copies runs of
// unchanged blocks from the source file as whole ranges.
class PackWriter {
 public:
  PackWriter(WritableFile* out, ReadableFile* source)
      : out_(out), source_(source) {
    buffer_.reserve(kCopyChunk);
  }

  bool Append(std::string_view bytes) {
    if (!FlushRun()) return false;
    if (buffer_.size() + bytes.size() > kCopyChunk && !FlushBuffer()) {
      return false;
    }
    if (bytes.size() >= kCopyChunk) return out_->Append(bytes).ok();
    buffer_.append(bytes);
    return true;
  }

  // Blocks that follow one another in the source are gathered into a run and
  // copied together.
  bool CopyFromSource(uint64_t offset, uint32_t length) {
    if (run_length_ != 0 && run_start_ + run_length_ == offset) {
      run_length_ += length;
      return true;
    }
    if (!FlushRun()) return false;
    run_start_ = offset;
    run_length_ = length;
    return true;
  }

  bool Finish() { return FlushRun() && FlushBuffer(); }

 private:
  bool FlushBuffer() {
    if (buffer_.empty()) return true;
    const bool ok = out_->Append(buffer_).ok();
    buffer_.clear();
    return ok;
  }

  bool FlushRun() {
    if (run_length_ == 0) return true;
    if (source_ == nullptr || !FlushBuffer()) return false;
    const uint64_t length = run_length_;
    run_length_ = 0;
    // The file decides how: inside the OS where that is cheaper, and a
    // wrapped file still sees every byte.
    return out_->AppendFrom(source_, run_start_, length).ok();
  }

  WritableFile* const out_;
  ReadableFile* const source_;
  std::string buffer_;
  uint64_t run_start_ = 0;
  uint64_t run_length_ = 0;
};

bool WritePack(PackArchive* archive, WritableFile* out,
               const std::vector<uint32_t>& offsets) {
  PackWriter writer(out, archive->file.get());
  std::string rows;
  PutU32(&rows, 0);
  PutU32(&rows, static_cast<uint32_t>(archive->index.size()));
  bool ok = true;
  size_t i = 0;
  archive->index.ForEach([&](PackEntry* e) {
    if (!ok) return;
    PutU32(&rows, e->id);
    PutU32(&rows, offsets[i++]);
    PutU32(&rows, e->size);
    PutU32(&rows, e->stored_size);
    PutU32(&rows, e->compressed);
    rows.append(e->digest, kPackDigestSize);
    if (rows.size() >= kCopyChunk) {
      ok = writer.Append(rows);
      rows.clear();
    }
  });
  if (ok) ok = writer.Append(rows);
  archive->index.ForEach([&](PackEntry* e) {
    if (!ok) return;
    if (e->in_memory) {
      ok = writer.Append(std::string_view(
          static_cast<PackEntryData*>(e)->data.get(), e->stored_size));
    } else {
      ok = writer.CopyFromSource(e->source_offset, e->stored_size);
    }
  });
  return ok && writer.Finish();
}

}  // namespace

PackArchive* PackOpenForUpdate(Env* env, const std::string& path) {
  return Open(env, path, /*read_only=*/false);
}

PackArchive* PackOpenReadOnly(Env* env, const std::string& path) {
  return Open(env, path, /*read_only=*/true);
}

int PackClose(PackArchive* archive) {
  if (archive == nullptr) return 0;
  const int result = archive->read_only ? 1 : PackSave(archive);
  delete archive;
  return result;
}

void PackDiscard(PackArchive* archive) { delete archive; }

int PackSave(PackArchive* archive) {
  if (archive == nullptr || archive->read_only) return 0;
  PackIndex& index = archive->index;

  // Offsets are 32-bit: a pack that would outgrow them cannot be written.
  std::vector<uint32_t> offsets;
  offsets.reserve(index.size());
  uint64_t running = kPackHeaderSize + uint64_t{kPackRowSize} * index.size();
  bool fits = true;
  index.ForEach([&](PackEntry* e) {
    if (running > std::numeric_limits<uint32_t>::max()) fits = false;
    offsets.push_back(static_cast<uint32_t>(running));
    running += e->stored_size;
  });
  if (!fits) return 0;

  Env* env = archive->env;
  const std::string temp = archive->path + std::string(kTempSuffix);
  std::unique_ptr<WritableFile> out;
  Status s = env->NewWritableFile(temp, &out);
  if (!s.ok()) return 0;
  out->WillSync();
  bool ok = WritePack(archive, out.get(), offsets);
  if (ok) ok = out->Sync().ok();
  if (ok) ok = out->Close().ok();
  out.reset();
  if (ok) ok = env->RenameFile(temp, archive->path).ok();
  if (!ok) {
    env->DeleteFile(temp);
    return 0;
  }
  // The new file is complete whatever happens here; this only makes the
  // rename itself survive a power cut.
  const std::string native = env->NativePath(archive->path);
  const std::string::size_type slash = native.find_last_of('/');
  if (slash != std::string::npos) env->SyncDirectory(native.substr(0, slash + 1));

  size_t i = 0;
  index.ForEach([&](PackEntry* e) { e->offset = offsets[i++]; });
  return 1;
}

uint32_t PackGetCount(PackArchive* archive) {
  return archive == nullptr ? 0 : static_cast<uint32_t>(archive->index.size());
}

uint32_t PackGetIdAt(uint32_t position, PackArchive* archive) {
  if (archive == nullptr) return 0;
  const PackEntry* e = archive->index.At(position);
  return e == nullptr ? 0 : e->id;
}

int PackRead(void* buffer, uint32_t* size, uint32_t id, PackArchive* archive) {
  if (archive == nullptr || size == nullptr) return 0;
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return 0;
  if (buffer == nullptr) {
    *size = e->size;
    return 1;
  }
  std::unique_ptr<char[]> scratch;
  const char* block = GetBlock(archive, e, &scratch);
  if (block == nullptr) return 0;
  if (e->compressed != 0) {
    uLongf produced = e->size;
    const int z = uncompress(static_cast<Bytef*>(buffer), &produced,
                             reinterpret_cast<const Bytef*>(block),
                             e->stored_size);
    return z == Z_OK && produced == e->size ? 1 : 0;
  }
  std::memcpy(buffer, block, std::min(*size, e->size));
  return 1;
}

int PackIsCompressed(uint32_t id, PackArchive* archive, int* compressed) {
  if (archive == nullptr || compressed == nullptr) return 0;
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return 0;
  *compressed = static_cast<int>(e->compressed);
  return 1;
}

int PackAdd(uint32_t id, const void* data, uint32_t size, PackArchive* archive,
            int compress, char* digest_out) {
  if (archive == nullptr || archive->read_only || data == nullptr ||
      archive->index.Find(id) != nullptr) {
    return 0;
  }
  auto entry = std::make_unique<PackEntryData>();
  entry->id = id;
  entry->size = size;
  entry->compressed = static_cast<uint32_t>(compress);
  if (compress != 0) {
    uLongf capacity = compressBound(size);
    entry->data.reset(new char[capacity]);
    if (::compress(reinterpret_cast<Bytef*>(entry->data.get()), &capacity,
                   static_cast<const Bytef*>(data), size) != Z_OK ||
        capacity > std::numeric_limits<uint32_t>::max()) {
      return 0;
    }
    entry->stored_size = static_cast<uint32_t>(capacity);
  } else {
    entry->data.reset(new char[std::max<uint32_t>(size, 1)]);
    std::memcpy(entry->data.get(), data, size);
    entry->stored_size = size;
  }
  const std::string hex = Md5Hex(entry->data.get(), entry->stored_size);
  std::memcpy(entry->digest, hex.data(),
              std::min(hex.size(), kPackDigestSize - 1));
  entry->digest[kPackDigestSize - 1] = '\0';
  if (digest_out != nullptr) {
    std::memcpy(digest_out, entry->digest, kPackDigestSize);
  }
  archive->index.Insert(std::move(entry));
  return 1;
}

int PackRemove(uint32_t id, PackArchive* archive) {
  if (archive == nullptr || archive->read_only) return 0;
  return archive->index.Remove(id) ? 1 : 0;
}

int PackGetEntryInfo(uint32_t id, PackArchive* archive, PackEntryInfo* info) {
  if (archive == nullptr || info == nullptr) return 0;
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return 0;
  info->id = e->id;
  info->offset = e->offset;
  info->size = e->size;
  info->stored_size = e->stored_size;
  info->compressed = e->compressed;
  info->digest.assign(e->digest, strnlen(e->digest, kPackDigestSize - 1));
  return 1;
}

int PackReadStored(uint32_t id, PackArchive* archive, std::string* block) {
  if (archive == nullptr || block == nullptr) return 0;
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return 0;
  std::unique_ptr<char[]> scratch;
  const char* data = GetBlock(archive, e, &scratch);
  if (data == nullptr) return 0;
  block->assign(data, e->stored_size);
  return 1;
}

}  // namespace dizedir
