// Pack archives (.pac): the game's containers of small resources, each entry
// addressed by a 32-bit id and stored raw or as a zlib stream together with
// the MD5 of its stored bytes.
//
// Plain functions over an opaque handle, in the argument order every caller
// of the format uses: the archive comes last, results are 1 for success and
// 0 for failure, and a null archive is a failure that does nothing.
//
// An archive opened for update keeps the blocks of the entries it did not
// change in the file it came from and copies them straight into the new file
// at save, so memory grows with the table and with what is added, not with
// the size of the pack. Saving writes a temporary file beside the pack and
// renames it over the original: a crash, a full disk or a failed save leaves
// the old file whole. A file that is truncated or whose table does not fit
// its size is refused by both open operations, so a damaged pack is never
// silently replaced by an empty one.
//
// Packs come from patches and from the player's disk, so nothing a row says
// is believed before it is used: an open checks that the table fits the file
// and holds at most kPackMaxEntries rows; blocks are read, digested and
// inflated in fixed pieces, never allocated at the size a row claims. An
// entry moves between packs as its stored block (PackCopyEntry), checked on
// the way and copied file to file by the save, so the memory of a merge
// does not depend on how large its entries or packs are. No exception
// leaves these functions; running out of memory is a failure result.
//
// Thread-safety: an archive belongs to one thread at a time.

#ifndef DIZEDIR_PACK_PACK_H_
#define DIZEDIR_PACK_PACK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace dizedir {

class Env;
struct PackArchive;

// Byte sizes of the file format.
inline constexpr uint32_t kPackHeaderSize = 8;
inline constexpr uint32_t kPackRowSize = 53;
// The most entries a pack may hold. A table of more is damaged for both open
// operations, and adding or copying past it fails: an entry takes about 110
// bytes of memory, so this keeps an open archive under 30 MiB and a merge
// of two full packs under 64 MiB whatever a header claims, and is still
// more than twice the 100 000 entries of the large pack pack_bench models.
inline constexpr uint32_t kPackMaxEntries = uint32_t{1} << 18;

// A new archive for update. A missing file gives an empty archive; null when
// the file exists but cannot be read or is damaged.
PackArchive* PackOpenForUpdate(Env* env, const std::string& path);
// A read-only archive with its file kept open; null when the file cannot be
// opened or is damaged.
PackArchive* PackOpenReadOnly(Env* env, const std::string& path);

// Saves an archive opened for update (the result of that save, which the
// callers of the format ignore), then releases the archive. 1 for a
// read-only archive; 0 for null.
int PackClose(PackArchive* archive);
// Releases an archive without saving it: the file keeps what it held before
// the archive was opened. Null does nothing.
void PackDiscard(PackArchive* archive);
// Writes the whole archive to its path. 0 for a read-only archive or when the
// new file cannot be written; the old file is then untouched.
int PackSave(PackArchive* archive);
// PackSave, saying why a save failed: the Env's error as it came (NoSpace
// for a full disk), InvalidArgument for a null or read-only archive or one
// whose blocks would lie past the 32-bit offsets of the format.
Status PackSaveWithStatus(PackArchive* archive);

uint32_t PackGetCount(PackArchive* archive);
// The id at an enumeration position; 0 (also a valid id) past the end.
// Consecutive positions cost O(1) each.
uint32_t PackGetIdAt(uint32_t position, PackArchive* archive);

// With a null buffer: sets *size to the entry's contents size. Otherwise
// fills buffer (at least the entry's size) with the contents: a compressed
// entry inflated whole, a raw one up to *size bytes; *size is unchanged.
// 0 when the id is absent, the block cannot be read, or it does not inflate
// to exactly the entry's size. The block is streamed into the buffer, so the
// only memory sized by the entry is the caller's; a caller must bound the
// size it allocates for (it may be up to 4 GiB - 1).
int PackRead(void* buffer, uint32_t* size, uint32_t id, PackArchive* archive);
// 1 and the entry's compressed flag (as stored) in *compressed.
int PackIsCompressed(uint32_t id, PackArchive* archive, int* compressed);
// Adds an entry, compressed with zlib at the default level when compress is
// non-zero, and copies its 33-byte digest (32 hex digits and a NUL) to
// digest_out when that is not null. 0 without change for a read-only
// archive, null data, or an id that exists.
int PackAdd(uint32_t id, const void* data, uint32_t size, PackArchive* archive,
            int compress, char* digest_out);
// 1 when the entry existed and was removed; 0 when absent or read-only.
int PackRemove(uint32_t id, PackArchive* archive);

// Checks the block of one entry against its row, streaming in fixed pieces:
// its MD5 must be the stored digest and, when compressed, it must be one
// zlib stream that inflates to exactly the entry's size (inflation stops as
// soon as it goes past, the output is thrown away). Corruption naming the
// entry (not the pack: the caller knows what to call it); NotFound when the
// id is absent; IOError when the block cannot be read.
Status PackCheckEntry(uint32_t id, PackArchive* archive);

// Copies entry `id` of `source` into `target` (opened for update) as it is
// stored: the same block, size, compressed flag and digest. An entry of that
// id in target is replaced (removed, then added: the file comes out as the
// spelled-out replacement writes it). The block is checked first as by
// PackCheckEntry and refused with its Corruption when damaged; it is not read
// into memory, target keeps source's file open and its next save copies the
// block file to file, so source may be closed before that. NotFound when
// source lacks the id; InvalidArgument for a read-only target or when target
// would exceed kPackMaxEntries. Copying within one archive changes nothing.
Status PackCopyEntry(uint32_t id, PackArchive* source, PackArchive* target);

// Adds entry `id` to `target` (opened for update) with the block of
// `stored_size` bytes at `offset` in the file at `block_path`: the bytes the
// row's MD5 covers, the zlib stream itself when `compressed`. This is how a
// block fetched from elsewhere joins a pack as it is, never held in memory:
// it is checked first as PackCheckEntry checks one (a compressed block is
// one zlib stream that inflates to exactly `size`, a raw one is `size`
// bytes), and the MD5 computed on the way becomes the row's digest. The
// target keeps the file open, once however many blocks lie in it, and its
// next save copies the block file to file; so the file must stay as it is
// until the target is released, and may be deleted only then. An entry of
// that id is replaced as PackCopyEntry replaces one. On failure target is
// unchanged: Corruption naming the entry for a block that fails the check
// or a file that ends before it; the Env's error when the file cannot be
// opened (NotFound when there is none); InvalidArgument for a read-only
// target, an offset past 4 GiB - 1 (where no pack's block can come from),
// or when target would exceed kPackMaxEntries.
Status PackAddStoredBlock(uint32_t id, uint32_t size, bool compressed, Env* env,
                          const std::string& block_path, uint64_t offset,
                          uint32_t stored_size, PackArchive* target);

// Checks a whole pack file before it is trusted, e.g. before a pack shipped
// as a plain file replaces the client's: the table fits the file and every
// entry passes PackCheckEntry. Streaming: memory is the table and fixed
// buffers, whatever the file holds. Texts name the pack as `shown_name` (say
// its path relative to the client directory; the player sees the text, cut
// at 255 bytes): Corruption "damaged pack <shown_name>: <what is wrong>",
// NotFound when there is no file, IOError when it cannot be read.
Status PackCheck(Env* env, const std::string& path,
                 const std::string& shown_name);

// What a table row says about an entry, for tools that inspect packs.
struct PackEntryInfo {
  uint32_t id = 0;
  uint32_t offset = 0;  // 0xFFFFFFFF for an entry added since the last save
  uint32_t size = 0;
  uint32_t stored_size = 0;
  uint32_t compressed = 0;
  std::string digest;  // the 32 stored digest characters
};
int PackGetEntryInfo(uint32_t id, PackArchive* archive, PackEntryInfo* info);
// The entry's data block as stored (the bytes its digest covers).
int PackReadStored(uint32_t id, PackArchive* archive, std::string* block);
// The same bytes handed to `consume` in order, in pieces (of at most 64 KiB
// for a block read from the file), for digesting a block of any size without
// holding it whole. Nothing is checked against the row. Aborted as soon as
// `consume` returns false; NotFound when the id is absent; IOError when the
// block cannot be read.
Status PackStreamStored(uint32_t id, PackArchive* archive,
                        const std::function<bool(std::string_view piece)>& consume);

}  // namespace dizedir

#endif  // DIZEDIR_PACK_PACK_H_
