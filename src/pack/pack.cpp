#include "pack/pack.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
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
  std::shared_ptr<ReadableFile> file;
  // Files of other packs whose blocks were copied into this archive: they
  // stay open until the archive is released, so the save can copy from them
  // even after their own archives are closed.
  // Files of blocks added by PackAddStoredBlock are borrowed the same way;
  // this finds the one already open for a path, so a file holding many
  // blocks costs one handle, not one per block.
  std::vector<std::shared_ptr<ReadableFile>> borrowed;
  std::unordered_map<std::string, ReadableFile*> block_files;
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
// Blocks are read, digested and inflated in pieces of this size, so checking
// or reading an entry costs the same memory whatever its row claims.
constexpr uint32_t kPieceSize = 64u << 10;

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

std::string EntryText(uint32_t id) { return "entry " + std::to_string(id); }

Status OutOfMemory() { return Status::IOError("out of memory"); }

// Reads the header and table of `file` into `index`, refusing anything the
// file cannot actually hold.
Status LoadTable(ReadableFile* file, PackIndex* index) {
  uint64_t file_size = 0;
  Status s = file->Size(&file_size);
  if (!s.ok()) return s;
  unsigned char header[kPackHeaderSize];
  if (file_size < kPackHeaderSize ||
      !ReadExactly(file, 0, kPackHeaderSize, reinterpret_cast<char*>(header))) {
    return Status::Corruption("its header is cut short");
  }
  const uint64_t count = GetU32(header + 4);
  if (kPackHeaderSize + count * kPackRowSize > file_size) {
    return Status::Corruption("its table of " + std::to_string(count) +
                              " entries does not fit the file");
  }
  if (count > kPackMaxEntries) {
    return Status::Corruption("it has more than " +
                              std::to_string(kPackMaxEntries) + " entries");
  }

  std::vector<unsigned char> rows(std::min<uint64_t>(count, kRowsPerRead) *
                                  kPackRowSize);
  uint64_t done = 0;
  while (done < count) {
    const size_t batch = static_cast<size_t>(
        std::min<uint64_t>(count - done, kRowsPerRead));
    if (!ReadExactly(file, kPackHeaderSize + done * kPackRowSize,
                     batch * kPackRowSize,
                     reinterpret_cast<char*>(rows.data()))) {
      return Status::IOError("its table cannot be read");
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
      entry->origin = file;
      if (uint64_t{entry->offset} + entry->stored_size > file_size) {
        return Status::Corruption(EntryText(entry->id) +
                                  " lies past the end of the file");
      }
      if (entry->compressed == 0 ? entry->size != entry->stored_size
                                 : entry->size > kMaxInflateRatio *
                                                     entry->stored_size) {
        return Status::Corruption(EntryText(entry->id) +
                                  " claims a size its block cannot hold");
      }
      index->Insert(std::move(entry));
    }
    done += batch;
  }
  return Status::OK();
}

// NotFound when there is no file (which PackOpenForUpdate takes for an empty
// archive), Corruption saying what is wrong with a damaged one.
Status OpenArchive(Env* env, const std::string& path, bool read_only,
                   std::unique_ptr<PackArchive>* result) {
  try {
    auto archive = std::make_unique<PackArchive>();
    archive->env = env;
    archive->read_only = read_only;
    archive->path = path;
    std::unique_ptr<ReadableFile> file;
    Status s = env->NewReadableFile(path, &file);
    if (!s.ok()) {
      // Only a file that is really absent counts as an empty archive: one
      // that exists but cannot be read would be overwritten by the next save.
      if (env->FileExists(path)) return s.IsNotFound() ? Status::IOError(s.message()) : s;
      if (!read_only) *result = std::move(archive);
      return Status::NotFound(path);
    }
    archive->file = std::move(file);
    s = LoadTable(archive->file.get(), &archive->index);
    if (!s.ok()) return s;
    *result = std::move(archive);
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

PackArchive* Open(Env* env, const std::string& path, bool read_only) {
  if (env == nullptr) return nullptr;
  std::unique_ptr<PackArchive> archive;
  OpenArchive(env, path, read_only, &archive);
  return archive.release();
}

// Hands out an entry's block piece by piece, from memory or from the file
// that holds it, so that no block is ever held whole because its row says it
// is large.
class BlockReader {
 public:
  explicit BlockReader(const PackEntry* entry) : entry_(entry) {}

  // Sets *piece to the next piece, empty at the end of the block. False when
  // the file cannot be read or ends first, or no buffer can be had.
  bool Next(std::string_view* piece) {
    const uint32_t left = entry_->stored_size - done_;
    if (left == 0) {
      *piece = {};
      return true;
    }
    if (entry_->in_memory) {
      *piece = std::string_view(
          static_cast<const PackEntryData*>(entry_)->data.get() + done_, left);
      done_ = entry_->stored_size;
      return true;
    }
    if (entry_->origin == nullptr) return false;
    if (buffer_ == nullptr) {
      buffer_.reset(new (std::nothrow) char[kPieceSize]);
      if (buffer_ == nullptr) return false;
    }
    const uint32_t n = std::min(left, kPieceSize);
    if (!ReadExactly(entry_->origin, uint64_t{entry_->source_offset} + done_, n,
                     buffer_.get())) {
      return false;
    }
    *piece = std::string_view(buffer_.get(), n);
    done_ += n;
    return true;
  }

 private:
  const PackEntry* const entry_;
  uint32_t done_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// A zlib inflate stream that is always ended.
class Inflater {
 public:
  Inflater() { ready_ = inflateInit(&stream_) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  bool ready() const { return ready_; }
  z_stream* stream() { return &stream_; }

 private:
  z_stream stream_ = {};
  bool ready_ = false;
};

// Reads an entry's block in pieces, feeding each to `md5` (when not null)
// and, for a compressed block, inflating it into `out` (the entry's size in
// bytes) or, when `out` is null, into a scratch piece that is thrown away.
// A compressed block must be one zlib stream that ends exactly at the end of
// the block and inflates to exactly the entry's size; inflating stops as
// soon as it goes past, so a block that claims little and inflates to
// gigabytes costs no more than one that is honest.
Status ScanBlock(const PackEntry* e, char* out, Md5* md5) {
  BlockReader reader(e);
  std::unique_ptr<Inflater> inflater;
  std::unique_ptr<char[]> sink;
  if (e->compressed != 0) {
    inflater.reset(new (std::nothrow) Inflater);
    if (inflater == nullptr || !inflater->ready()) return OutOfMemory();
    if (out == nullptr) {
      sink.reset(new (std::nothrow) char[kPieceSize]);
      if (sink == nullptr) return OutOfMemory();
    }
  }
  const auto damaged = [e](const char* what) {
    return Status::Corruption(EntryText(e->id) + " " + what);
  };
  uint64_t produced = 0;
  bool ended = false;
  char spare = 0;  // catches the first byte past the entry's size
  for (;;) {
    std::string_view piece;
    if (!reader.Next(&piece)) {
      return Status::IOError(EntryText(e->id) + " cannot be read");
    }
    if (piece.empty()) break;
    if (md5 != nullptr) md5->Update(piece);
    if (inflater == nullptr) continue;
    if (ended) return damaged("has bytes after its zlib stream");
    z_stream* z = inflater->stream();
    z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z->avail_in = static_cast<uInt>(piece.size());
    do {
      const uint64_t left = e->size - produced;
      char* dest;
      uInt room;
      if (left == 0) {
        dest = &spare;
        room = 1;
      } else if (out != nullptr) {
        dest = out + produced;
        room = static_cast<uInt>(std::min<uint64_t>(left, 0xFFFFFFFFu));
      } else {
        dest = sink.get();
        room = static_cast<uInt>(std::min<uint64_t>(left, kPieceSize));
      }
      z->next_out = reinterpret_cast<Bytef*>(dest);
      z->avail_out = room;
      const int r = inflate(z, Z_NO_FLUSH);
      produced += room - z->avail_out;
      if (produced > e->size) return damaged("inflates past its size");
      if (r == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (r == Z_BUF_ERROR) break;  // wants more input
      if (r != Z_OK) return damaged("is not a valid zlib stream");
    } while (z->avail_in > 0 || z->avail_out == 0);
    if (ended && z->avail_in > 0) {
      return damaged("has bytes after its zlib stream");
    }
  }
  if (inflater != nullptr) {
    if (!ended) return damaged("has a zlib stream cut short");
    if (produced != e->size) return damaged("inflates short of its size");
  }
  return Status::OK();
}

// The whole check of one block: its digest, and for a compressed block that
// it inflates to exactly the entry's size.
Status VerifyEntry(const PackEntry* e) {
  Md5 md5;
  Status s = ScanBlock(e, nullptr, &md5);
  if (!s.ok()) return s;
  const std::string hex = md5.HexFinal();
  if (std::memcmp(hex.data(), e->digest, std::min(hex.size(), kPackDigestSize - 1)) != 0) {
    return Status::Corruption(EntryText(e->id) + " does not match its digest");
  }
  return Status::OK();
}

// The open file that holds `file`'s bytes for `archive`, shared.
std::shared_ptr<ReadableFile> SharedFile(PackArchive* archive,
                                         const ReadableFile* file) {
  if (archive->file.get() == file) return archive->file;
  for (const auto& f : archive->borrowed) {
    if (f.get() == file) return f;
  }
  return nullptr;
}

// Streams the new pack file: buffers small writes and copies runs of
// blocks that lie one after another in one file as whole ranges. After a
// false result, status() says why (a full disk must reach the caller as
// one).
class PackWriter {
 public:
  explicit PackWriter(WritableFile* out) : out_(out) {
    buffer_.reserve(kCopyChunk);
  }

  const Status& status() const { return status_; }

  bool Append(std::string_view bytes) {
    if (!FlushRun()) return false;
    if (buffer_.size() + bytes.size() > kCopyChunk && !FlushBuffer()) {
      return false;
    }
    if (bytes.size() >= kCopyChunk) return Check(out_->Append(bytes));
    buffer_.append(bytes);
    return true;
  }

  bool CopyFrom(ReadableFile* file, uint64_t offset, uint32_t length) {
    if (file == nullptr) return Check(Status::IOError("a block's file is gone"));
    if (run_length_ != 0 && run_file_ == file &&
        run_start_ + run_length_ == offset) {
      run_length_ += length;
      return true;
    }
    if (!FlushRun()) return false;
    run_file_ = file;
    run_start_ = offset;
    run_length_ = length;
    return true;
  }

  bool Finish() { return FlushRun() && FlushBuffer(); }

 private:
  bool Check(Status s) {
    if (!s.ok() && status_.ok()) status_ = std::move(s);
    return status_.ok();
  }

  bool FlushBuffer() {
    if (buffer_.empty()) return true;
    const bool ok = Check(out_->Append(buffer_));
    buffer_.clear();
    return ok;
  }

  bool FlushRun() {
    if (run_length_ == 0) return true;
    if (!FlushBuffer()) return false;
    const uint64_t length = run_length_;
    run_length_ = 0;
    // The file decides how: inside the OS where that is cheaper, and a
    // wrapped file still sees every byte.
    return Check(out_->AppendFrom(run_file_, run_start_, length));
  }

  WritableFile* const out_;
  Status status_;
  std::string buffer_;
  ReadableFile* run_file_ = nullptr;
  uint64_t run_start_ = 0;
  uint64_t run_length_ = 0;
};

Status WritePack(PackArchive* archive, WritableFile* out,
                 const std::vector<uint32_t>& offsets) {
  PackWriter writer(out);
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
      ok = writer.CopyFrom(e->origin, e->source_offset, e->stored_size);
    }
  });
  if (ok) ok = writer.Finish();
  return ok ? Status::OK() : writer.status();
}

Status SaveArchive(PackArchive* archive) {
  if (archive == nullptr || archive->read_only) {
    return Status::InvalidArgument("only an archive opened for update is saved");
  }
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
  if (!fits) {
    return Status::InvalidArgument("the pack would outgrow the 4 GiB its offsets address");
  }

  Env* env = archive->env;
  const std::string temp = archive->path + std::string(kTempSuffix);
  std::unique_ptr<WritableFile> out;
  Status s = env->NewWritableFile(temp, &out);
  if (!s.ok()) return s;
  out->WillSync();
  s = WritePack(archive, out.get(), offsets);
  if (s.ok()) s = out->Sync();
  if (s.ok()) s = out->Close();
  out.reset();
  if (s.ok()) s = env->RenameFile(temp, archive->path);
  if (!s.ok()) {
    env->DeleteFile(temp);
    return s;
  }
  // The new file is complete whatever happens here; this only makes the
  // rename itself survive a power cut.
  const std::string native = env->NativePath(archive->path);
  const std::string::size_type slash = native.find_last_of('/');
  if (slash != std::string::npos) {
    env->SyncDirectory(native.substr(0, slash + 1));
  }

  size_t i = 0;
  index.ForEach([&](PackEntry* e) { e->offset = offsets[i++]; });
  return Status::OK();
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
  return PackSaveWithStatus(archive).ok() ? 1 : 0;
}

Status PackSaveWithStatus(PackArchive* archive) {
  try {
    return SaveArchive(archive);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
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
  char* out = static_cast<char*>(buffer);
  if (e->compressed != 0) {
    // Straight into the caller's buffer, piece by piece: nothing here is
    // sized by the row.
    return ScanBlock(e, out, nullptr).ok() ? 1 : 0;
  }
  const uint32_t n = std::min(*size, e->size);
  if (e->in_memory) {
    std::memcpy(out, static_cast<const PackEntryData*>(e)->data.get(), n);
    return 1;
  }
  return e->origin != nullptr &&
                 ReadExactly(e->origin, e->source_offset, n, out)
             ? 1
             : 0;
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
      archive->index.Find(id) != nullptr ||
      archive->index.size() >= kPackMaxEntries) {
    return 0;
  }
  try {
    auto entry = std::make_unique<PackEntryData>();
    entry->id = id;
    entry->size = size;
    entry->compressed = static_cast<uint32_t>(compress);
    if (compress != 0) {
      uLongf capacity = compressBound(size);
      entry->data.reset(new (std::nothrow) char[capacity]);
      if (entry->data == nullptr ||
          ::compress(reinterpret_cast<Bytef*>(entry->data.get()), &capacity,
                     static_cast<const Bytef*>(data), size) != Z_OK ||
          capacity > std::numeric_limits<uint32_t>::max()) {
        return 0;
      }
      entry->stored_size = static_cast<uint32_t>(capacity);
    } else {
      entry->data.reset(new (std::nothrow) char[std::max<uint32_t>(size, 1)]);
      if (entry->data == nullptr) return 0;
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
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int PackRemove(uint32_t id, PackArchive* archive) {
  if (archive == nullptr || archive->read_only) return 0;
  return archive->index.Remove(id) ? 1 : 0;
}

Status PackCheckEntry(uint32_t id, PackArchive* archive) {
  if (archive == nullptr) return Status::InvalidArgument("no archive");
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return Status::NotFound(EntryText(id) + " is absent");
  try {
    return VerifyEntry(e);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Status PackCopyEntry(uint32_t id, PackArchive* source, PackArchive* target) {
  if (source == nullptr || target == nullptr || target->read_only) {
    return Status::InvalidArgument("copy needs a source and a target open for update");
  }
  const PackEntry* e = source->index.Find(id);
  if (e == nullptr) return Status::NotFound(EntryText(id) + " is absent");
  if (source == target) return Status::OK();
  try {
    Status s = VerifyEntry(e);
    if (!s.ok()) return s;
    const bool replacing = target->index.Find(id) != nullptr;
    if (!replacing && target->index.size() >= kPackMaxEntries) {
      return Status::InvalidArgument("a pack may hold at most " +
                                     std::to_string(kPackMaxEntries) +
                                     " entries");
    }
    std::unique_ptr<PackEntry> copy;
    if (e->in_memory) {
      auto data = std::make_unique<PackEntryData>();
      data->data.reset(new (std::nothrow)
                           char[std::max<uint32_t>(e->stored_size, 1)]);
      if (data->data == nullptr) return OutOfMemory();
      std::memcpy(data->data.get(),
                  static_cast<const PackEntryData*>(e)->data.get(),
                  e->stored_size);
      copy = std::move(data);
    } else {
      // The block stays where it is; the save copies it from there.
      std::shared_ptr<ReadableFile> file = SharedFile(source, e->origin);
      if (file == nullptr) return Status::IOError(EntryText(id) + " cannot be read");
      if (SharedFile(target, file.get()) == nullptr) {
        target->borrowed.push_back(std::move(file));
      }
      copy = std::make_unique<PackEntry>();
      copy->origin = e->origin;
      copy->source_offset = e->source_offset;
    }
    copy->id = id;
    copy->size = e->size;
    copy->stored_size = e->stored_size;
    copy->compressed = e->compressed;
    std::memcpy(copy->digest, e->digest, kPackDigestSize);
    // Remove and add, not replace in place: the entry goes to the head of
    // its chain, where the add that a replacement always was puts it, so
    // the file comes out byte for byte the same.
    if (replacing) target->index.Remove(id);
    target->index.Insert(std::move(copy));
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Status PackAddStoredBlock(uint32_t id, uint32_t size, bool compressed, Env* env,
                          const std::string& block_path, uint64_t offset,
                          uint32_t stored_size, PackArchive* target) {
  if (env == nullptr || target == nullptr || target->read_only) {
    return Status::InvalidArgument("adding a block needs a target open for update");
  }
  // An entry records where its block lies in 32 bits, as the format does.
  if (offset > std::numeric_limits<uint32_t>::max()) {
    return Status::InvalidArgument(EntryText(id) + ": its block lies past 4 GiB into its file");
  }
  if (!compressed && stored_size != size) {
    return Status::Corruption(EntryText(id) + " is raw, but its block holds " +
                              std::to_string(stored_size) + " bytes, not " +
                              std::to_string(size));
  }
  try {
    const bool replacing = target->index.Find(id) != nullptr;
    if (!replacing && target->index.size() >= kPackMaxEntries) {
      return Status::InvalidArgument("a pack may hold at most " +
                                     std::to_string(kPackMaxEntries) + " entries");
    }
    std::shared_ptr<ReadableFile> file;
    const auto known = target->block_files.find(block_path);
    if (known != target->block_files.end()) {
      file = SharedFile(target, known->second);
    } else {
      std::unique_ptr<ReadableFile> opened;
      Status s = env->NewReadableFile(block_path, &opened);
      if (!s.ok()) return s;
      file = std::move(opened);
    }
    if (file == nullptr) return Status::IOError(EntryText(id) + " cannot be read");
    uint64_t file_size = 0;
    Status s = file->Size(&file_size);
    if (!s.ok()) return s;
    if (offset + stored_size > file_size) {
      return Status::Corruption(EntryText(id) + ": its block file ends before the block");
    }
    auto entry = std::make_unique<PackEntry>();
    entry->id = id;
    entry->size = size;
    entry->stored_size = stored_size;
    entry->compressed = compressed ? 1 : 0;
    entry->origin = file.get();
    entry->source_offset = static_cast<uint32_t>(offset);
    Md5 md5;
    s = ScanBlock(entry.get(), nullptr, &md5);
    if (!s.ok()) return s;
    const std::string hex = md5.HexFinal();
    std::memcpy(entry->digest, hex.data(), std::min(hex.size(), kPackDigestSize - 1));
    entry->digest[kPackDigestSize - 1] = '\0';

    if (known == target->block_files.end()) {
      target->borrowed.push_back(file);
      target->block_files.emplace(block_path, file.get());
    }
    // As PackCopyEntry does: a replacement is a remove and an add.
    if (replacing) target->index.Remove(id);
    target->index.Insert(std::move(entry));
    return Status::OK();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Status PackCheck(Env* env, const std::string& path,
                 const std::string& shown_name) {
  if (env == nullptr) return Status::InvalidArgument("no env");
  const std::string damaged = "damaged pack " + shown_name + ": ";
  const std::string unreadable = "cannot read pack " + shown_name + ": ";
  std::unique_ptr<PackArchive> archive;
  Status s = OpenArchive(env, path, /*read_only=*/true, &archive);
  if (s.IsNotFound()) return Status::NotFound("no pack " + shown_name);
  if (s.IsCorruption()) return Status::Corruption(damaged + s.message());
  if (!s.ok()) return Status::IOError(unreadable + s.message());
  try {
    const size_t count = archive->index.size();
    for (size_t k = 0; k < count; ++k) {
      s = VerifyEntry(archive->index.At(k));
      if (s.IsCorruption()) return Status::Corruption(damaged + s.message());
      if (!s.ok()) return Status::IOError(unreadable + s.message());
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return Status::OK();
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
  try {
    block->clear();
    block->reserve(e->stored_size);
    BlockReader reader(e);
    for (;;) {
      std::string_view piece;
      if (!reader.Next(&piece)) return 0;
      if (piece.empty()) return 1;
      block->append(piece);
    }
  } catch (const std::bad_alloc&) {
    block->clear();
    return 0;
  }
}

Status PackStreamStored(uint32_t id, PackArchive* archive,
                        const std::function<bool(std::string_view piece)>& consume) {
  if (archive == nullptr) return Status::InvalidArgument("no archive");
  const PackEntry* e = archive->index.Find(id);
  if (e == nullptr) return Status::NotFound(EntryText(id) + " is absent");
  try {
    BlockReader reader(e);
    for (;;) {
      std::string_view piece;
      if (!reader.Next(&piece)) return Status::IOError(EntryText(id) + " cannot be read");
      if (piece.empty()) return Status::OK();
      if (!consume(piece)) return Status::Aborted(EntryText(id) + ": reading stopped");
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace dizedir
