// Paths reach Win32 as UTF-16 converted from the program's UTF-8, never
// through the ANSI code page: a conversion there is lossy (characters outside
// the page become '?') and best-fit (U+FF0F becomes '/'), so a name checked
// before it would not be the name opened after it.

#include <string>

#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace dizedir {

namespace win32 {

std::wstring Widen(const std::string& utf8) {
  if (!IsUtf8(utf8)) return std::wstring();
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
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

std::string LegacyTextToUtf8(std::string_view text) {
  if (text.empty() || IsUtf8(text)) return std::string(text);
  // Strict: a byte sequence the code page does not define fails the whole
  // decoding rather than turning into a default character.
  const int size = static_cast<int>(text.size());
  const int units =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) return std::string(text);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units);
  return win32::Narrow(wide);
}

}  // namespace dizedir
