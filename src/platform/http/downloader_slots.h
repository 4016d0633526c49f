// LoadedDownloaderSlots: how many interface slots the downloader module the
// process loaded offers, asked at run time. An older module lacks the slots
// past 28 and the export that counts them; importing that export would keep
// the plug-in from loading beside such a module at all, so it is looked up
// by name in the module that holds GetHttpInterface.
//
// Thread-safety: safe from any thread.

#ifndef DIZEDIR_PLATFORM_HTTP_DOWNLOADER_SLOTS_H_
#define DIZEDIR_PLATFORM_HTTP_DOWNLOADER_SLOTS_H_

#include <cstdint>

namespace dizedir::http {

// What the module's GetHttpInterfaceSlots answers; 0 when it has no such
// export (a module whose interface ends at slot 28 or before).
uint32_t LoadedDownloaderSlots();

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_DOWNLOADER_SLOTS_H_
