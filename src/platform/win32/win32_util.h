// Helpers the Win32 backend files share: wide paths from narrow ones and
// statuses from Win32 error codes. Private to src/platform/win32/.

#ifndef DIZEDIR_PLATFORM_WIN32_WIN32_UTIL_H_
#define DIZEDIR_PLATFORM_WIN32_WIN32_UTIL_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "platform/status.h"

namespace dizedir::win32 {

// Narrow text is UTF-8. Widen gives an empty path for text that is not
// UTF-8, so the call it feeds fails rather than opening a name with
// replacement characters in it; Narrow replaces an unpaired surrogate.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// The status for a failed call; `error` is what GetLastError gave.
Status ErrorStatus(const std::string& context, DWORD error);

}  // namespace dizedir::win32

#endif  // DIZEDIR_PLATFORM_WIN32_WIN32_UTIL_H_
