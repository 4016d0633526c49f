#include "platform/start_program.h"

#include "platform/win32/win32_util.h"

#include <shellapi.h>

#include <cstdint>
#include <string>

namespace dizedir {

Status StartDetachedProgram(const std::string& program, const std::string& working_dir) {
  const std::wstring wide_program = win32::Widen(program);
  if (wide_program.empty()) return Status::InvalidArgument(program + ": not a usable path");
  const std::wstring wide_dir = win32::Widen(working_dir);
  // CreateProcessW may write into the command line, so it gets a copy of
  // its own; the program name is quoted for the spaces a folder may hold.
  std::wstring command_line = L"\"" + wide_program + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Handles are not inherited, so the game holds none of the launcher's
  // sockets or files.
  if (!CreateProcessW(wide_program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_PROCESS_GROUP, nullptr,
                      wide_dir.empty() ? nullptr : wide_dir.c_str(), &startup, &process)) {
    return win32::ErrorStatus(program, GetLastError());
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return Status::OK();
}

Status OpenInBrowser(const std::string& url) {
  const std::wstring wide_url = win32::Widen(url);
  if (wide_url.empty()) return Status::InvalidArgument("not a usable address: " + url);
  const HINSTANCE result =
      ShellExecuteW(nullptr, L"open", wide_url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  // Values up to 32 are the shell's error codes.
  if (reinterpret_cast<intptr_t>(result) <= 32) {
    return Status::IOError("the browser could not be started for " + url);
  }
  return Status::OK();
}

}  // namespace dizedir
