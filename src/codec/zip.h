// Zip extraction for patch archives: open an archive, list its items under
// safe names, and extract them one by one below a base directory.
//
// libzip reads the archive, zip64 records included, through Env. A split
// archive is read in place across its part files as one stream, so no
// joined copy ever needs the disk. The archive is checked whole when it is
// opened, before anything is extracted: every local header must agree with
// its central record, no two items may share a name, and every item's local
// header and data must lie before the central directory without
// overlapping another's, so no byte of the file is inflated twice and the
// declared sizes (ZipGetTotals) bound what extraction may write. Counts and
// lengths are capped by fixed ceilings; memory stays within a small
// multiple of the central directory's real size.
//
// Extraction never writes outside the base directory: a name that would
// climb out of it, an absolute target elsewhere and a symbolic-link item are
// refused, each with its own result. Links and junctions that already exist
// in the client were made by the player and are followed; a patch can never
// create one. Each file is written under a temporary name beside its target
// and renamed over it only once its data is complete, of its declared size
// and matches its CRC-32, so a crash or a damaged item never leaves a
// half-written game file.
//
// Thread-safety: an archive belongs to one thread at a time.

#ifndef DIZEDIR_CODEC_ZIP_H_
#define DIZEDIR_CODEC_ZIP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Fixed ceilings on what an archive may declare; beyond them it is refused
// at open with kLimits.
inline constexpr uint64_t kZipMaxItems = 1000000;
inline constexpr uint32_t kZipMaxNameBytes = 4096;
// More part files than a patch list line can name; one part is open at a
// time, so the ceiling bounds only the open's work and its small tables.
inline constexpr size_t kZipMaxParts = 16384;

enum class ZipResult {
  kOk,
  kArguments,  // no archive, or an index outside the items
  kNoFile,     // the file (or a directory on its way) could not be created
  kWrite,      // writing or renaming the file failed
  kPassword,   // the item is encrypted (encrypted items are not supported)
  kCorrupt,    // damaged data: inflation, size or CRC-32 disagree; an
               // unknown compression method; at open, a damaged or
               // inconsistent structure (two items of one name included)
  kRefused,    // the name would land outside the base directory (a ".."
               // climb, an absolute target elsewhere, a NUL), leaves nothing
               // to call a file, or carries the temporary suffix
  kSymlink,    // the item is a symbolic link: a patch never creates one
  kBlocked,    // a directory that is not empty, or a link to one, stands
               // where the file goes (an empty one is replaced)
  kOverlap,    // at open: items share bytes, or run into the central
               // directory or past the end of the file
  kLimits,     // at open: more than kZipMaxItems items, a stored name
               // longer than kZipMaxNameBytes, more than kZipMaxParts
               // parts, or parts adding up past 2^63 - 1 bytes
  kOverflow,   // ZipGetTotals: the declared sizes add up past 2^64 - 1
  kDiskFull,   // writing the file failed because the disk is full
};

// Null when the file cannot be opened, is not a zip archive, or fails the
// checks above; *why (when not null) then says which: kNoFile, kCorrupt,
// kOverlap or kLimits. Nothing is extracted from a refused archive. The
// password is kept for the interface's sake; encrypted items fail with
// kPassword whatever it is.
ZipArchive* ZipOpenFile(Env* env, const std::u16string& path,
                        const char* password, ZipResult* why = nullptr);
// A split archive: the files at `part_paths`, joined end to end in this
// order, are the zip, and are held to every check ZipOpenFile makes. They
// are read where they lie, a read that crosses a part's end going on in the
// next; a part may be empty. Each part's size is taken here, once: a part
// later found shorter or longer than that fails the read that finds it
// (extraction then gives kCorrupt), so offsets checked now keep meaning the
// same bytes. Null with *why: kArguments for no parts, kNoFile for a part
// that cannot be opened, kLimits for too many parts or too many bytes, or
// what ZipOpenFile would give for their joined bytes.
ZipArchive* ZipOpenParts(Env* env, const std::vector<std::u16string>& part_paths,
                         ZipResult* why = nullptr);
// Appends a '\' when the directory ends in neither '\' nor '/'. Until it is
// called, items land relative to the process's current directory.
ZipResult ZipSetBaseDir(ZipArchive* archive, const std::u16string& dir);
// Index -1 gives the item count in item->index and clears everything else.
ZipResult ZipGetItem(ZipArchive* archive, int index, ZipItem* item);

// What the whole archive declares.
struct ZipTotals {
  uint64_t items = 0;
  uint64_t compressed_bytes = 0;
  // The most that extracting every item can write: extraction refuses an
  // item that inflates to more than it declares.
  uint64_t uncompressed_bytes = 0;
};
// kOverflow (with uncompressed_bytes at UINT64_MAX) when the declared sizes
// do not fit in 64 bits; such an archive can never fit on a disk.
ZipResult ZipGetTotals(ZipArchive* archive, ZipTotals* totals);

// Where a completed file item is left.
enum class ZipPlacement {
  kInPlace,         // renamed over `target`
  // Left complete (size, CRC, times and attributes checked and set) at
  // `target` plus the temporary suffix, for a caller that moves a whole
  // patch into place only once every item of it has unpacked.
  kBesideTarget,
};

// Extracts item `index` to `target`: under the base directory when relative;
// an absolute target must lie inside the base directory. Every refusal has
// its own result (kRefused, kSymlink, kBlocked); nothing is written for it.
ZipResult ZipUnzipItem(ZipArchive* archive, int index, const std::u16string& target,
                       ZipPlacement placement = ZipPlacement::kInPlace);
// How many leading parts no item from `next_index` on (in index order)
// reads: every byte of them lies before each such item's local header (all
// of them once no item is left). They are closed here, so a caller that
// unpacks in index order may delete them as it goes; a later read that
// needs one fails.
size_t ZipReleaseParts(ZipArchive* archive, int next_index);
void ZipClose(ZipArchive* archive);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_H_
