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

// Narrow text is in the ANSI code page; these are the OS's own conversions.
std::wstring Widen(const std::string& narrow);
std::string Narrow(const std::wstring& wide);

// The status for a failed call; `error` is what GetLastError gave.
Status ErrorStatus(const std::string& context, DWORD error);

}  // namespace dizedir::win32

#endif  // DIZEDIR_PLATFORM_WIN32_WIN32_UTIL_H_
