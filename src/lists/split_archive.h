// Split patch archives: an archive A published in n numbered parts
// A_0.zxp .. A_{n-1}.zxp, whose bytes end to end are the zip, and the cut
// of a file into such parts. The cut copies through one buffer of at most
// 1 MiB whatever the archive size.
//
// Thread-safety: the functions keep no state; concurrent calls must not
// work on the same files.

#ifndef DIZEDIR_LISTS_SPLIT_ARCHIVE_H_
#define DIZEDIR_LISTS_SPLIT_ARCHIVE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace dizedir {

inline constexpr size_t kArchiveCopyBufferSize = size_t{1} << 20;

// The name a part carries in the lists: archive + "_" + index.
std::string PartName(std::string_view archive, int index);

// The file a part name is stored in: names that contain neither ".zip" nor
// ".zxp" get ".zxp" appended.
std::string PartFileName(std::string_view part_name);

// Cuts the file at `path` into at most `count` parts named after `path`
// without its extension (text before the last '.'), beside it. Part size
// P = size / count + 1: every part but the last holds P bytes when P is at
// most 1 MiB, otherwise it ends at the first 1 MiB boundary at or past its
// share. A count below 2 creates nothing.
bool SplitFile(Env* env, const std::string& path, int count);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_SPLIT_ARCHIVE_H_
