// Narrow text on Windows is the ANSI code page, converted by the OS.

#include <string>

#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace dizedir {

namespace win32 {

std::wstring Widen(const std::string& narrow) {
  if (narrow.empty()) return std::wstring();
  const int size = static_cast<int>(narrow.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow.data(), size, wide.data(), units);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), size, narrow.data(), bytes, nullptr,
                      nullptr);
  return narrow;
}

Status ErrorStatus(const std::string& context, DWORD error) {
  const std::string message = context + ": Windows error " + std::to_string(error);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return Status::NotFound(message);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Status::NoSpace(message);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Status::Busy(message);
    default:
      return Status::IOError(message);
  }
}

}  // namespace win32

// wchar_t is 16 bits on Windows, so UTF-16 text is wide text as it stands.
std::u16string NarrowToUtf16(std::string_view narrow) {
  const std::wstring wide = win32::Widen(std::string(narrow));
  return std::u16string(wide.begin(), wide.end());
}

std::string Utf16ToNarrow(std::u16string_view wide) {
  return win32::Narrow(std::wstring(wide.begin(), wide.end()));
}

}  // namespace dizedir
