// Zip extraction for patch archives: open an archive, list its items under
// safe names, and extract them one by one below a base directory.
//
// Extraction never writes outside the base directory: a name that would
// climb out of it, an absolute target elsewhere, a path through a symbolic
// link and a symbolic-link item are all refused. Each file is written under
// a temporary name beside its target and renamed over it only once its data
// is complete, of its declared size and matches its CRC-32, so a crash or a
// damaged item never leaves a half-written game file.
//
// Thread-safety: an archive belongs to one thread at a time.

#ifndef DIZEDIR_CODEC_ZIP_H_
#define DIZEDIR_CODEC_ZIP_H_

#include <cstdint>
#include <string>

namespace dizedir {

class Env;
struct ZipArchive;

// Windows file-attribute bits.
inline constexpr uint32_t kZipAttrReadOnly = 0x01;
inline constexpr uint32_t kZipAttrHidden = 0x02;
inline constexpr uint32_t kZipAttrSystem = 0x04;
inline constexpr uint32_t kZipAttrDirectory = 0x10;
inline constexpr uint32_t kZipAttrArchive = 0x20;

struct ZipItem {
  int index = 0;        // for index -1: the number of items
  std::u16string name;  // cleaned, relative
  uint32_t attributes = 0;
  // Seconds since 1970-01-01 UTC. Linux keeps no creation time on disk; it is
  // reported here only.
  int64_t creation_time = 0;
  int64_t last_access_time = 0;
  int64_t last_write_time = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  // The item is a symbolic link (Unix mode in its attributes); extraction
  // refuses it.
  bool symbolic_link = false;
};

enum class ZipResult {
  kOk,
  kArguments,  // no archive, or an index outside the items
  kNoFile,     // the file (or a directory on its way) could not be created
  kWrite,      // writing or renaming the file failed
  kPassword,   // the item is encrypted and no password was given
  kCorrupt,    // damaged data: inflation, size or CRC-32 disagree
  kRefused,    // the item would land outside the base directory, or is a link
};

// Null when the file cannot be opened or is not a zip archive. password may
// be null.
ZipArchive* ZipOpenFile(Env* env, const std::u16string& path,
                        const char* password);
// Appends a '\' when the directory ends in neither '\' nor '/'. Until it is
// called, items land relative to the process's current directory.
ZipResult ZipSetBaseDir(ZipArchive* archive, const std::u16string& dir);
// Index -1 gives the item count in item->index and clears everything else.
ZipResult ZipGetItem(ZipArchive* archive, int index, ZipItem* item);
// Extracts item `index` to `target`: under the base directory when relative;
// an absolute target must lie inside the base directory.
ZipResult ZipUnzipItem(ZipArchive* archive, int index,
                       const std::u16string& target);
void ZipClose(ZipArchive* archive);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_H_
