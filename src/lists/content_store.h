// The content store of a release directory: every file content and every
// pack entry's stored block that a version of the release line holds, kept
// once under its BLAKE2b-256 hash (codec/content_hash.h), so that versions
// share what they have in common and a client that verifies, repairs or
// installs fetches by hash exactly what its tree manifest
// (lists/tree_manifest.h) names.
//
// An object lies at store\<first two hex digits of the hash>\<64 hex
// digits>, relative to the release directory. Its bytes, a stored format:
//
//   'z' and a zlib stream (RFC 1950) of the content, when that stream is
//       shorter than the content;
//   'r' and the content itself otherwise (the empty content is "r").
//
// So an object is never more than one byte longer than its content, and a
// reader refuses a 'z' object that is not shorter than the content its name
// and size promise: what it reads is bounded by the size it expects before
// anything is inflated.
//
// Objects come from a hostile server, and the size and hash a client
// expects come from a checked manifest: decoding refuses (Corruption) any
// other first byte, a zlib stream that is damaged, cut short or followed by
// more bytes, a content of any other size, and one whose hash differs. It
// never inflates more than one byte past the size expected, so a zlib bomb
// costs what an honest object of that size does; the streaming forms hold
// fixed buffers whatever the sizes.
//
// Thread-safety: the functions are pure, apart from their Env calls; a
// StoreObjectWriter belongs to one thread.

#ifndef DIZEDIR_LISTS_CONTENT_STORE_H_
#define DIZEDIR_LISTS_CONTENT_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "codec/content_hash.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

inline constexpr char kStoreDirName[] = "store";

// "store\ab\ab12...", the object's path in the client's spelling, and
// "store/ab/ab12..." for a URL below the release directory's.
std::string StoreObjectName(const ContentHash& hash);
std::string StoreObjectUrlPath(const ContentHash& hash);

// The object of a content held in memory: zlib at level 6 when that is
// shorter, the raw form otherwise.
std::string EncodeStoreObject(std::string_view content);
// Replaces *content with the object's content, checked against the size
// and hash expected of it; empties it when refused.
Status DecodeStoreObject(std::string_view object, const ContentHash& expected_hash,
                         uint64_t expected_size, std::string* content);

// Writes one object to `object_path` piece by piece, for contents too large
// to hold in memory (a file, a pack entry's block from PackStreamStored).
// The object is compressed as it comes in, to a temporary beside its path
// (creating its directory); Finish checks that the content was what the
// object is named for, falls back to the raw form when zlib did not make it
// shorter (inflating the temporary, not asking for the content again), and
// renames the synced object into place. Until Finish succeeds nothing lies
// at `object_path` that was not there before, and an unfinished writer
// removes its temporaries when destroyed. An existing object is replaced.
// Two writers of one object path must not run at once: they would share
// their temporaries.
class StoreObjectWriter {
 public:
  StoreObjectWriter(Env* env, std::string object_path);
  ~StoreObjectWriter();
  StoreObjectWriter(const StoreObjectWriter&) = delete;
  StoreObjectWriter& operator=(const StoreObjectWriter&) = delete;

  // The next bytes of the content. After a failure every call gives it
  // again.
  Status Append(std::string_view content);
  // Corruption when the content was not `hash` and `size`.
  Status Finish(const ContentHash& hash, uint64_t size);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Stores the file at `source_path` as the object at `object_path`, which
// must be StoreObjectName of its hash: the file is streamed once, and a
// file that no longer has `hash` and `size` (it changed since it was
// hashed) is refused with Corruption, leaving no object.
Status WriteStoreObject(Env* env, const std::string& source_path,
                        const std::string& object_path, const ContentHash& hash, uint64_t size);

// Decodes the object at `object_path` into the file at `target_path`
// (whose directory must exist) through a temporary beside it, renamed over
// the target only once the content is complete, checked and synced: on any
// failure the target is what it was and no temporary is left. The object's
// refusals are Corruption naming its path; the Env's errors are given as
// they come (NotFound for a missing object, NoSpace for a full disk).
Status DecodeStoreObjectToFile(Env* env, const std::string& object_path,
                               const ContentHash& hash, uint64_t size,
                               const std::string& target_path);

// Decodes the object at `object_path` into `sink`, handing on the content
// piece by piece as it comes out (pieces of at most 64 KiB), for a caller
// that gathers several contents in one file of its own. The checks are
// DecodeStoreObjectToFile's, but the hash is known only after the last
// piece: a refusal (Corruption naming the object) may come after the sink
// has seen every byte, so whatever the sink kept counts only once this
// succeeds. A sink's failure stops the decode and is given as it is.
Status DecodeStoreObjectToSink(Env* env, const std::string& object_path, const ContentHash& hash,
                               uint64_t size,
                               const std::function<Status(std::string_view piece)>& sink);

// The same check without writing anything: the object at `object_path`
// decodes to a content of `size` bytes and `hash`.
Status CheckStoreObject(Env* env, const std::string& object_path, const ContentHash& hash,
                        uint64_t size);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_CONTENT_STORE_H_
