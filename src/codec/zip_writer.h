// ZipWriter: builds the zip archives that patches are shipped in, over
// minizip's zip interface, with everything read and written through an Env.
//
// Items are deflated, unless a sample of their first bytes shows that
// deflate gains nothing (random or already compressed data): those are
// stored. An item is deflated in pieces of 1 MiB, each primed with the end
// of the piece before and ended on a byte boundary, so that the pieces can
// be deflated on several threads at once and still form one deflate stream;
// the archive's bytes depend only on what was added and the level, never on
// the number of threads. A bounded number of pieces is in flight at a time
// (16, or two per thread when there are more threads), so memory stays
// within a few tens of MiB whatever the items' sizes.
//
// Names are given in the game's form ("qmz\\a.txt") and
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
// AddFile and AddBytes return once the data has been read (the source may
// then change or go); a failure to deflate or write it shows in a later call
// or in Finish, and it fails the whole archive.
//
// Thread-safety: a ZipWriter belongs to one thread at a time; the threads it
// deflates on are its own and end with it.

#ifndef DIZEDIR_CODEC_ZIP_WRITER_H_
#define DIZEDIR_CODEC_ZIP_WRITER_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
  // Threads that deflate: 1 deflates on the caller's thread; 0 takes one per
  // processor (at most 8). When a thread cannot be started the writer makes do with the
  // ones it has.
  unsigned threads = 0;
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
  class Compressor;
  struct Item;
  struct Piece;
  ZipWriter(Env* env, std::string path, const ZipWriterOptions& options);

  void StartThreads();
  void StopThreads();
  uint32_t Work();
  Status NewItem(std::string_view name, uint64_t size, bool directory,
                 std::shared_ptr<Item>* item);
  // Takes the next piece of an item; `last` ends the item.
  Status Submit(const std::shared_ptr<Item>& item, std::string data,
                bool first, bool last);
  void Deflate(Piece* piece, Compressor* compressor);
  // Writes finished pieces at the head until at most `keep` remain.
  Status Drain(size_t keep);
  Status WritePiece(Piece& piece);
  Status Fail(Status s);

  Env* const env_;
  const std::string path_;
  ZipWriterOptions options_;
  std::unique_ptr<Output> output_;
  void* zip_ = nullptr;  // minizip's zipFile; used on the owner's thread only
  Status error_;
  uint64_t items_ = 0;
  bool finished_ = false;

  // The pieces between the owner and the deflating threads.
  std::mutex mu_;
  std::condition_variable work_cv_;   // a piece to deflate, or stop
  std::condition_variable state_cv_;  // a piece done, or an item's method known
  std::deque<std::unique_ptr<Piece>> pending_;  // in archive order
  std::deque<Piece*> todo_;                     // not yet taken by a thread
  bool stopping_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::unique_ptr<Compressor> own_compressor_;  // without threads
  std::string tail_;  // the end of the previous piece of the current item
  size_t max_pending_ = 1;
};

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_WRITER_H_
