// The Win32 backend of Env. Paths are native as given (backslashes or
// slashes, any case: the file system matches names case-insensitively) and
// go to the wide APIs converted from UTF-8.

#include <objbase.h>
#include <mmsystem.h>

#include <cstring>
#include <string>

#include "platform/env.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace dizedir {

namespace {

using win32::ErrorStatus;
using win32::Narrow;
using win32::Widen;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Status LastError(const std::string& context) {
  return ErrorStatus(context, GetLastError());
}

class Win32ReadableFile final : public ReadableFile {
 public:
  Win32ReadableFile(std::string name, HANDLE handle)
      : name_(std::move(name)), handle_(handle) {}
  ~Win32ReadableFile() override { CloseHandle(handle_); }

  Status Read(uint64_t offset, size_t n, char* scratch,
              size_t* bytes_read) override {
    *bytes_read = 0;
    while (*bytes_read < n) {
      // The offset rides in the OVERLAPPED record, so concurrent readers
      // never race over a shared file position.
      OVERLAPPED at = {};
      const uint64_t position = offset + *bytes_read;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
      const size_t left = n - *bytes_read;
      const DWORD ask = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
      DWORD got = 0;
      if (!ReadFile(handle_, scratch + *bytes_read, ask, &got, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return ErrorStatus(name_, error);
      }
      if (got == 0) break;
      *bytes_read += got;
    }
    return Status::OK();
  }

  Status Size(uint64_t* size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle_, &value)) return LastError(name_);
    *size = static_cast<uint64_t>(value.QuadPart);
    return Status::OK();
  }

 private:
  const std::string name_;
  const HANDLE handle_;
};

class Win32WritableFile final : public WritableFile {
 public:
  Win32WritableFile(std::string name, HANDLE handle)
      : name_(std::move(name)), handle_(handle) {
    buffer_.reserve(kBufferSize);
  }
  ~Win32WritableFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) Close();
  }

  Status Append(std::string_view data) override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::IOError(name_ + ": file is closed");
    if (data.size() <= kBufferSize - buffer_.size()) {
      buffer_.append(data);
      return Status::OK();
    }
    Status s = FlushBuffer();
    if (!s.ok()) return s;
    if (data.size() >= kBufferSize) return WriteAll(data.data(), data.size());
    buffer_.append(data);
    return Status::OK();
  }

  Status Flush() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::IOError(name_ + ": file is closed");
    return FlushBuffer();
  }

  Status Sync() override {
    Status s = Flush();
    if (!s.ok()) return s;
    if (!FlushFileBuffers(handle_)) return LastError(name_);
    return Status::OK();
  }

  Status Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::OK();
    Status s = FlushBuffer();
    if (!CloseHandle(handle_) && s.ok()) s = LastError(name_);
    handle_ = INVALID_HANDLE_VALUE;
    return s;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  Status WriteAll(const char* data, size_t n) {
    while (n > 0) {
      const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
      DWORD done = 0;
      if (!WriteFile(handle_, data, ask, &done, nullptr)) return LastError(name_);
      if (done == 0) return Status::NoSpace(name_ + ": nothing written");
      data += done;
      n -= done;
    }
    return Status::OK();
  }

  Status FlushBuffer() {
    Status s = WriteAll(buffer_.data(), buffer_.size());
    // As on POSIX: what could not be written is dropped, the caller has the
    // error.
    buffer_.clear();
    return s;
  }

  const std::string name_;
  HANDLE handle_;
  std::string buffer_;
};

class Win32PositionalFile final : public PositionalFile {
 public:
  Win32PositionalFile(std::string name, HANDLE handle)
      : name_(std::move(name)), handle_(handle) {}
  ~Win32PositionalFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) Close();
  }

  Status WriteAt(uint64_t offset, std::string_view data) override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::IOError(name_ + ": file is closed");
    const char* at = data.data();
    size_t left = data.size();
    while (left > 0) {
      // The offset rides in the OVERLAPPED record, so writers at other
      // offsets never race over a shared file position.
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(offset);
      where.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD ask = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
      DWORD done = 0;
      if (!WriteFile(handle_, at, ask, &done, &where)) return LastError(name_);
      if (done == 0) return Status::NoSpace(name_ + ": nothing written");
      at += done;
      left -= done;
      offset += done;
    }
    return Status::OK();
  }

  Status Sync() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::IOError(name_ + ": file is closed");
    if (!FlushFileBuffers(handle_)) return LastError(name_);
    return Status::OK();
  }

  Status Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Status::OK();
    Status s;
    if (!CloseHandle(handle_)) s = LastError(name_);
    handle_ = INVALID_HANDLE_VALUE;
    return s;
  }

 private:
  const std::string name_;
  HANDLE handle_;
};

class Win32FileLock final : public FileLock {
 public:
  explicit Win32FileLock(HANDLE handle) : handle_(handle) {}
  ~Win32FileLock() override { CloseHandle(handle_); }

 private:
  const HANDLE handle_;
};

// The OS thread exists from creation on, suspended. A thread that is
// discarded before it was resumed is woken only to return at once, which
// is safer than terminating it.
class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(std::function<uint32_t()> body) : body_(std::move(body)) {}

  ~Win32Thread() override {
    if (handle_ == nullptr) return;
    Join();
    CloseHandle(handle_);
  }

  Status Start() {
    handle_ = CreateThread(nullptr, Env::kThreadStackSize, &Run, this,
                           CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION,
                           nullptr);
    if (handle_ == nullptr) return LastError("thread creation");
    return Status::OK();
  }

  void Resume() override {
    if (state_ != State::kSuspended) return;
    state_ = State::kRunning;
    ResumeThread(handle_);
  }

  uint32_t Join() override {
    if (state_ == State::kSuspended) {
      state_ = State::kDiscarded;
      ResumeThread(handle_);
    }
    if (!joined_) {
      WaitForSingleObject(handle_, INFINITE);
      joined_ = true;
    }
    return result_;
  }

 private:
  enum class State { kSuspended, kRunning, kDiscarded };

  static DWORD WINAPI Run(LPVOID arg) {
    auto* self = static_cast<Win32Thread*>(arg);
    // Written before ResumeThread, which orders it before this read.
    if (self->state_ == State::kRunning) self->result_ = self->body_();
    return 0;
  }

  std::function<uint32_t()> body_;
  HANDLE handle_ = nullptr;
  State state_ = State::kSuspended;
  // Written by the body's thread before it ends; read after the wait.
  uint32_t result_ = UINT32_MAX;
  bool joined_ = false;
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string DirectoryOf(const std::string& file) {
  const std::string::size_type slash = file.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  return file.substr(0, slash + 1);
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochOffset = 116444736000000000LL;

FILETIME ToFileTime(int64_t unix_seconds) {
  const uint64_t ticks = static_cast<uint64_t>(unix_seconds * 10000000LL + kEpochOffset);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

int64_t ToUnixSeconds(const FILETIME& time) {
  const uint64_t ticks =
      (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (static_cast<int64_t>(ticks) - kEpochOffset) / 10000000LL;
}

bool ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  return SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

class Win32Env final : public Env {
 public:
  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    result->reset();
    // Others may write, rename or delete meanwhile, as on POSIX.
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(path);
    *result = std::make_unique<Win32ReadableFile>(path, handle);
    return Status::OK();
  }

  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    return OpenWritable(path, GENERIC_WRITE, CREATE_ALWAYS, result);
  }

  Status NewAppendableFile(const std::string& path,
                           std::unique_ptr<WritableFile>* result) override {
    return OpenWritable(path, FILE_APPEND_DATA, OPEN_ALWAYS, result);
  }

  Status NewPositionalFile(const std::string& path,
                           std::unique_ptr<PositionalFile>* result) override {
    result->reset();
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(path);
    *result = std::make_unique<Win32PositionalFile>(path, handle);
    return Status::OK();
  }

  bool FileExists(const std::string& path) override {
    return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  bool IsDirectory(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool IsSymbolicLink(const std::string& path) override {
    std::string name = path;
    while (name.size() > 1 && IsSeparator(name.back())) name.pop_back();
    const DWORD attributes = GetFileAttributesW(Widen(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }

  Status GetFileSize(const std::string& path, uint64_t* size) override {
    FileInfo info;
    const Status s = GetFileInfo(path, &info);
    *size = info.size;
    return s;
  }

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    *info = FileInfo();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
      return LastError(path);
    }
    info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    // 100-nanosecond units since 1601; the offset only has to be the same
    // every time.
    const uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
    info->modified_nanos = static_cast<int64_t>(ticks - 116444736000000000ULL) * 100;
    return Status::OK();
  }

  Status DeleteFile(const std::string& path) override {
    const std::wstring name = Widen(path);
    if (DeleteFileW(name.c_str())) return Status::OK();
    const DWORD error = GetLastError();
    // POSIX removes a read-only file from a writable directory; the game's
    // patches rely on that.
    if (error == ERROR_ACCESS_DENIED && ClearReadOnly(name) && DeleteFileW(name.c_str())) {
      return Status::OK();
    }
    return ErrorStatus(path, error);
  }

  Status DeleteDirectory(const std::string& path) override {
    if (!RemoveDirectoryW(Widen(path).c_str())) return LastError(path);
    return Status::OK();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    const std::wstring source = Widen(from);
    const std::wstring target = Widen(to);
    if (Move(source, target)) return Status::OK();
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      return ErrorStatus(from + " -> " + to, error);
    }
    if (ClearReadOnly(target) && Move(source, target)) return Status::OK();
    // An open file (a pack still being read, a loaded module) cannot be
    // replaced, but it can be renamed: it goes aside under a temporary name
    // and is deleted at once. A file opened for sharing vanishes when its
    // last handle closes; a loaded module refuses the delete and is left to
    // the stale-temporary sweep of a later run.
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return ErrorStatus(from + " -> " + to, error);
    }
    for (int n = 0; n < 100; ++n) {
      const std::wstring aside = Widen(AsideName(to, n));
      // A leftover of an earlier run that is no longer in use goes first.
      DeleteFileW(aside.c_str());
      if (!MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) continue;
      if (Move(source, target)) {
        DeleteFileW(aside.c_str());
        return Status::OK();
      }
      const DWORD move_error = GetLastError();
      MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
      return ErrorStatus(from + " -> " + to, move_error);
    }
    return ErrorStatus(from + " -> " + to, error);
  }

  Status CreateDirectories(const std::string& path) override {
    if (path.empty()) return Status::InvalidArgument("empty directory name");
    // Skip what names a root rather than a directory to make: "C:",
    // "\\server\share" or a leading separator.
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
      start = 2;
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
      size_t seen = 0;
      start = 2;
      while (start < path.size() && seen < 2) {
        if (IsSeparator(path[start])) ++seen;
        ++start;
      }
    }
    while (start < path.size() && IsSeparator(path[start])) ++start;
    for (size_t end = start; end <= path.size(); ++end) {
      if (end < path.size() && !IsSeparator(path[end])) continue;
      if (end == 0 || IsSeparator(path[end - 1])) continue;
      const std::string prefix = path.substr(0, end);
      const std::wstring wide = Widen(prefix);
      if (!CreateDirectoryW(wide.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) {
          return ErrorStatus(prefix, error);
        }
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          return ErrorStatus(prefix, error == ERROR_ALREADY_EXISTS
                                         ? ERROR_DIRECTORY
                                         : error);
        }
      }
    }
    return Status::OK();
  }

  Status GetChildren(const std::string& dir,
                     std::vector<std::string>* names) override {
    names->clear();
    std::string pattern = dir;
    if (!pattern.empty() && !IsSeparator(pattern.back())) pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Widen(pattern).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // An empty directory has no entries, not even ".", on some file
      // systems.
      if (error == ERROR_FILE_NOT_FOUND && IsDirectory(dir)) return Status::OK();
      return ErrorStatus(dir, error);
    }
    do {
      const std::wstring child(entry.cFileName);
      if (child != L"." && child != L"..") names->push_back(Narrow(child));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return Status::OK();
  }

  Status SyncDirectory(const std::string&) override {
    // Renames are written through (MOVEFILE_WRITE_THROUGH); Windows offers
    // no directory flush beyond that.
    return Status::OK();
  }

  Status GetFreeDiskSpace(const std::string& dir, uint64_t* bytes) override {
    *bytes = 0;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(Widen(dir).c_str(), &available, nullptr, nullptr)) {
      return LastError(dir);
    }
    *bytes = available.QuadPart;
    return Status::OK();
  }

  Status SetFileTimes(const std::string& path, const FileTimes& times) override {
    HANDLE handle = CreateFileW(Widen(path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(path);
    const FILETIME accessed = ToFileTime(times.accessed);
    const FILETIME modified = ToFileTime(times.modified);
    FILETIME created{};
    if (times.created) created = ToFileTime(*times.created);
    const BOOL done = SetFileTime(handle, times.created ? &created : nullptr, &accessed,
                                  &modified);
    const DWORD error = GetLastError();
    CloseHandle(handle);
    if (!done) return ErrorStatus(path, error);
    return Status::OK();
  }

  Status SetReadOnly(const std::string& path, bool read_only) override {
    const std::wstring name = Widen(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError(path);
    DWORD wanted = read_only ? (attributes | FILE_ATTRIBUTE_READONLY)
                             : (attributes & ~FILE_ATTRIBUTE_READONLY);
    // A file with no other attribute carries "normal", which may not be
    // combined with any.
    wanted &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileAttributesW(name.c_str(), wanted)) return LastError(path);
    return Status::OK();
  }

  Status SetAttributes(const std::string& path, const FileAttributes& attributes) override {
    DWORD wanted = 0;
    if (attributes.read_only) wanted |= FILE_ATTRIBUTE_READONLY;
    if (attributes.hidden) wanted |= FILE_ATTRIBUTE_HIDDEN;
    if (attributes.system) wanted |= FILE_ATTRIBUTE_SYSTEM;
    if (attributes.archive) wanted |= FILE_ATTRIBUTE_ARCHIVE;
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileAttributesW(Widen(path).c_str(), wanted)) return LastError(path);
    return Status::OK();
  }

  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    lock->reset();
    // Share mode 0: no other open of the file succeeds while this handle
    // lives, in this process or any other, and the OS closes it when the
    // process dies.
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return Status::Busy(path + ": locked by another run");
      }
      return ErrorStatus(path, error);
    }
    *lock = std::make_unique<Win32FileLock>(handle);
    return Status::OK();
  }

  std::string NativePath(const std::string& path) override {
    std::string native = path;
    for (char& c : native) {
      if (c == '/') c = '\\';
    }
    return native;
  }

  Status NewThread(std::function<uint32_t()> body,
                   std::unique_ptr<Thread>* result) override {
    result->reset();
    auto thread = std::make_unique<Win32Thread>(std::move(body));
    Status s = thread->Start();
    if (!s.ok()) return s;
    *result = std::move(thread);
    return Status::OK();
  }

  uint32_t TickMillis() override { return timeGetTime(); }

  void SleepMillis(uint32_t millis) override { Sleep(millis); }

  LocalTime GetLocalTime() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    LocalTime local;
    local.year = now.wYear;
    local.month = now.wMonth;
    local.day_of_week = now.wDayOfWeek;
    local.day = now.wDay;
    local.hour = now.wHour;
    local.minute = now.wMinute;
    local.second = now.wSecond;
    local.millisecond = now.wMilliseconds;
    return local;
  }

  int64_t LocalTimeToUnix(const LocalTime& local) override {
    SYSTEMTIME in = {};
    in.wYear = static_cast<WORD>(local.year);
    in.wMonth = static_cast<WORD>(local.month);
    in.wDay = static_cast<WORD>(local.day);
    in.wHour = static_cast<WORD>(local.hour);
    in.wMinute = static_cast<WORD>(local.minute);
    in.wSecond = static_cast<WORD>(local.second);
    // The bias of that date, not today's, so a summer time stays a summer
    // time whatever the season of the update.
    SYSTEMTIME universal;
    FILETIME utc;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &in, &universal) ||
        !SystemTimeToFileTime(&universal, &utc)) {
      return -1;
    }
    return ToUnixSeconds(utc);
  }

  Status NewGuid(std::array<uint8_t, 16>* guid) override {
    GUID value;
    if (FAILED(CoCreateGuid(&value))) return Status::IOError("CoCreateGuid");
    static_assert(sizeof value == 16);
    std::memcpy(guid->data(), &value, sizeof value);
    return Status::OK();
  }

  std::string ModuleDirectory(const void* address_in_module) override {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address_in_module), &module)) {
      module = nullptr;  // the executable
    }
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length =
          GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
      if (length == 0) return std::string();
      if (length < name.size()) {
        name.resize(length);
        break;
      }
      if (name.size() >= 32768) return std::string();
      name.resize(name.size() * 2);
    }
    return DirectoryOf(Narrow(name));
  }

  void ShowFatalMessage(std::u16string_view text) override {
    const std::wstring wide(text.begin(), text.end());
    // A console host would otherwise show nothing when no desktop is there.
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
      const std::string line = Utf16ToNarrow(text) + "\r\n";
      DWORD written = 0;
      WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    // No owner, no caption, one OK button: what a launcher's users have
    // always been shown when the string library is missing.
    MessageBoxW(nullptr, wide.c_str(), L"", MB_OK);
  }

 private:
  static bool Move(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

  Status OpenWritable(const std::string& path, DWORD access, DWORD disposition,
                      std::unique_ptr<WritableFile>* result) {
    result->reset();
    const std::wstring name = Widen(path);
    HANDLE handle = CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError(path);
    *result = std::make_unique<Win32WritableFile>(path, handle);
    return Status::OK();
  }
};

}  // namespace

Env* Env::Default() {
  // Deliberately leaked: threads still running at exit may use it.
  static Env* const env = new Win32Env;
  return env;
}

}  // namespace dizedir
