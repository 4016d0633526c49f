// The sample game client that scripts/demo.sh publishes, updates, damages
// and repairs: four versions side by side, dir/v1 to dir/v4.
//
//   v1  game.cfg; bin/readme.txt; 300 tiles of 8 to 71 KiB,
//       data/zone<i % 12>/tile<i>.dat; qmz/fodder/items.pac with entries
//       1-2000 and qmz/fodder/maps.pac with 5000-6000, each entry of
//       100 + id * 53 % 3000 bytes, compressed
//   v2  game.cfg changed; sounds/theme.ogg (1 MiB) added; tiles 3, 17 and
//       250 rewritten (40 KiB); items.pac: entry 3 changed, 2001-2050
//       added, 5-7 removed; entry 5001 moved unchanged from maps.pac
//   v3  game.cfg changed; bin/readme.txt and tile 0 removed;
//       "data/world map.bin" (12 MiB) added; maps.pac: 6001-6300 added
//   v4  v3 with an optional extra, hd/textures.bin (4 MiB)
//
// Contents are random bytes, which no patch can shrink, drawn from `seed`:
// the same seed writes the same bytes.
//
// Thread-safety: plain functions.

#ifndef DIZEDIR_TOOLS_SAMPLE_CLIENT_SAMPLE_CLIENT_H_
#define DIZEDIR_TOOLS_SAMPLE_CLIENT_SAMPLE_CLIENT_H_

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace dizedir {

class Env;

// Writes dir/v1 to dir/v4; InvalidArgument when one of them exists, so
// that no version mixes with the files of an earlier run.
Status WriteSampleClient(Env* env, const std::string& dir, uint64_t seed);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_SAMPLE_CLIENT_SAMPLE_CLIENT_H_
