// ZipWriter: builds the zip archives that patches are shipped in, over
// minizip's zip interface, with everything read and written through an Env.
//
// Items are deflated. Names are given in the game's form ("qmz\\a.txt") and
// stored with slashes; a name with non-ASCII bytes (UTF-8) is stored with
// the UTF-8 flag (general purpose bit 11) so every unzip reads it the same.
// A name that extraction would alter or refuse (absolute, a drive, a ".."
// component, a trailing separator) is rejected up front: the archive must
// unpack to exactly the names it was given.
//
// The archive is written to a temporary file beside its path and renamed
// into place by Finish, so a failed or abandoned build never leaves a
// half-written archive under the final name. minizip patches each local
// header after the item's data; the writer keeps the newest bytes in memory
// so that most patches land there, and applies the rest in one copy pass at
// Finish, since an Env file is written front to back only.
//
// Thread-safety: a ZipWriter belongs to one thread at a time.

#ifndef DIZEDIR_CODEC_ZIP_WRITER_H_
#define DIZEDIR_CODEC_ZIP_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

struct ZipWriterOptions {
  // zlib level: -1 is zlib's default, 0 stores, 1 fastest .. 9 smallest.
  int level = -1;
  // The time every item carries (local time, as zip stores it). A zero year
  // takes the clock at Create.
  LocalTime time;
  // Bytes kept in memory behind the write position for header patches.
  size_t patch_window = size_t{4} << 20;
};

class ZipWriter {
 public:
  static Status Create(Env* env, const std::string& path,
                       const ZipWriterOptions& options,
                       std::unique_ptr<ZipWriter>* result);

  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  // Without a successful Finish the temporary file is removed and nothing
  // appears at the path.
  ~ZipWriter();

  // Streams the file at source_path into a new item.
  Status AddFile(std::string_view name, const std::string& source_path);
  Status AddBytes(std::string_view name, std::string_view data);
  // A directory item: extraction creates it (and its parents) even when no
  // file lands in it.
  Status AddDirectory(std::string_view name);

  // Writes the central directory and renames the archive into place.
  Status Finish();

  uint64_t item_count() const { return items_; }

  // The stored form of an item name, or empty when it is not one an archive
  // can carry safely.
  static std::string StoredName(std::string_view name);

 private:
  class Output;
  ZipWriter(Env* env, std::string path, const ZipWriterOptions& options);

  Status BeginItem(std::string_view name, uint64_t size_hint,
                   bool directory, std::string* stored);
  Status WriteData(const char* data, size_t size);
  Status EndItem();
  Status Fail(Status s);

  Env* const env_;
  const std::string path_;
  ZipWriterOptions options_;
  std::unique_ptr<Output> output_;
  void* zip_ = nullptr;  // minizip's zipFile
  Status error_;
  uint64_t items_ = 0;
  bool finished_ = false;
};

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_WRITER_H_
