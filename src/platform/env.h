// Env: every operating-system service the plug-in, the engine and the format
// code use, behind one interface with one backend per OS. Code above the
// platform layer receives an Env* and never calls the OS itself, so tests can
// wrap it (EnvWrapper) to inject faults: a disk that fills, a rename that
// fails, a thread that cannot start.
//
// Paths: every path argument may be given in Windows form, the form stored in
// the game's files and lists ("qmz\\fodder\\a.pac"). The POSIX backend maps a
// backslash to a slash and, where a path component does not exist with its
// exact name, uses an existing entry of the same directory whose name matches
// case-insensitively (Windows clients and patches disagree on case). A
// component that matches nothing is used as given, so new files keep the name
// they were asked for.
//
// Thread-safety: an Env is safe for concurrent use from any number of
// threads. The file, lock and thread objects it hands out are not: each is
// used by one thread at a time unless its own comment says otherwise.

#ifndef DIZEDIR_PLATFORM_ENV_H_
#define DIZEDIR_PLATFORM_ENV_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace dizedir {

// A file opened for reading at arbitrary offsets.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;

  // Reads up to n bytes at offset into scratch; *bytes_read < n only at the
  // end of the file.
  virtual Status Read(uint64_t offset, size_t n, char* scratch,
                      size_t* bytes_read) = 0;
  virtual Status Size(uint64_t* size) = 0;
};

// A file opened for writing at its end. Data reaches the disk only after
// Sync; Close without Sync may lose it in a crash.
class WritableFile {
 public:
  virtual ~WritableFile() = default;  // closes if still open

  virtual Status Append(std::string_view data) = 0;
  virtual Status Flush() = 0;  // hands buffered data to the OS
  virtual Status Sync() = 0;   // flushes and waits for the disk
  virtual Status Close() = 0;

  // Appends `length` bytes of `source` from `offset` on, exactly as Append
  // of those bytes would. Corruption when the source ends first; what was
  // appended until then stays in the file; InvalidArgument for a range
  // that runs past the largest offset. The default reads through a
  // buffer and calls Append, so a wrapper that overrides only Append still
  // sees every byte; a backend may copy inside the OS instead.
  virtual Status AppendFrom(ReadableFile* source, uint64_t offset,
                            uint64_t length);

  // Says that the file will be synced once complete, so a backend may start
  // writing it to the disk while more is appended and leave Sync less to
  // wait for. Only a hint: ignoring it is correct.
  virtual void WillSync() {}
};

// A file written at chosen offsets, as the pieces of a download arrive out
// of order. Unlike the other file objects, WriteAt may be called from
// several threads at once for ranges that do not overlap; Sync and Close
// come after every write has returned.
class PositionalFile {
 public:
  virtual ~PositionalFile() = default;  // closes if still open

  // Writes all of `data` at `offset`, growing the file as needed; the
  // bytes go straight to the OS, unbuffered.
  virtual Status WriteAt(uint64_t offset, std::string_view data) = 0;
  virtual Status Sync() = 0;
  virtual Status Close() = 0;
};

// An exclusive lock held on a file until the object is destroyed. The OS
// drops it when the process dies, so a killed run never blocks the next.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// A thread created suspended: it runs its body only after Resume. The owner
// must Join a resumed thread before destroying it; destroying a thread that
// was never resumed discards it without running the body.
class Thread {
 public:
  virtual ~Thread() = default;

  virtual void Resume() = 0;
  // Waits without limit for the body to return; gives the body's result.
  // Later calls return the same value at once.
  virtual uint32_t Join() = 0;
};

// Broken-down local time, in the order of the Windows SYSTEMTIME record.
struct LocalTime {
  int year = 0;
  int month = 0;        // 1-12
  int day_of_week = 0;  // 0 Sunday
  int day = 0;          // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// A file's times as seconds since 1970-01-01 UTC. Only Windows lets a
// program set when a file was created; elsewhere `created` is ignored.
struct FileTimes {
  int64_t modified = 0;
  int64_t accessed = 0;
  std::optional<int64_t> created;
};

// What a file's size and last write say about it: while both are the same,
// the file is taken to hold the same bytes (a program that rewrites a file
// within the file system's timestamp granularity, keeping its size, is not
// seen).
struct FileInfo {
  uint64_t size = 0;
  int64_t modified_nanos = 0;  // since 1970-01-01 UTC
  bool operator==(const FileInfo&) const = default;
};

// The attributes an archive item may carry. POSIX file systems keep only
// read-only (as the write permission bits); hidden, system and archive are
// kept where the file system has them, on Windows.
struct FileAttributes {
  bool read_only = false;
  bool hidden = false;
  bool system = false;
  bool archive = false;
};

class Env {
 public:
  // Every thread of the system gets this stack size.
  static constexpr size_t kThreadStackSize = 1u << 20;

  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // The backend for the platform the code was built for. Never destroyed.
  static Env* Default();

  // ---- Files -------------------------------------------------------------

  virtual Status NewReadableFile(const std::string& path,
                                 std::unique_ptr<ReadableFile>* result) = 0;
  // Creates or truncates.
  virtual Status NewWritableFile(const std::string& path,
                                 std::unique_ptr<WritableFile>* result) = 0;
  // Creates or opens for appending at the current end.
  virtual Status NewAppendableFile(const std::string& path,
                                   std::unique_ptr<WritableFile>* result) = 0;
  // Creates or truncates, for writing at chosen offsets.
  virtual Status NewPositionalFile(const std::string& path,
                                   std::unique_ptr<PositionalFile>* result) = 0;

  virtual bool FileExists(const std::string& path) = 0;  // file or directory
  virtual bool IsDirectory(const std::string& path) = 0;
  // True when the last component of `path` is itself a symbolic link.
  virtual bool IsSymbolicLink(const std::string& path) = 0;
  virtual Status GetFileSize(const std::string& path, uint64_t* size) = 0;
  virtual Status GetFileInfo(const std::string& path, FileInfo* info) = 0;
  virtual Status DeleteFile(const std::string& path) = 0;
  // Removes an empty directory.
  virtual Status DeleteDirectory(const std::string& path) = 0;
  // Atomically replaces `to` if it exists. Both must be on one filesystem.
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  // Creates the directory and every missing parent (mkdir -p).
  virtual Status CreateDirectories(const std::string& path) = 0;
  // Names (not paths) of the entries of a directory, without "." and "..".
  virtual Status GetChildren(const std::string& dir,
                             std::vector<std::string>* names) = 0;
  // Makes a completed rename in `dir` durable.
  virtual Status SyncDirectory(const std::string& dir) = 0;
  // Bytes available to this process on the filesystem holding `dir`.
  virtual Status GetFreeDiskSpace(const std::string& dir, uint64_t* bytes) = 0;
  virtual Status SetFileTimes(const std::string& path,
                              const FileTimes& times) = 0;
  // Read-only clears every write permission bit; false restores the owner's.
  virtual Status SetReadOnly(const std::string& path, bool read_only) = 0;
  // Sets exactly the given attributes, as far as the file system keeps them.
  virtual Status SetAttributes(const std::string& path,
                               const FileAttributes& attributes) = 0;
  // Takes an exclusive lock on `path` (created if absent); fails at once with
  // Busy when another process or object holds it.
  virtual Status LockFile(const std::string& path,
                          std::unique_ptr<FileLock>* lock) = 0;

  // The native form of a path after the mapping described at the top.
  virtual std::string NativePath(const std::string& path) = 0;

  // ---- Threads -----------------------------------------------------------

  // Creates a suspended thread with a stack of kThreadStackSize bytes.
  virtual Status NewThread(std::function<uint32_t()> body,
                           std::unique_ptr<Thread>* result) = 0;

  // ---- Clock and identity ------------------------------------------------

  // Milliseconds from an arbitrary start; wraps around after 49 days.
  virtual uint32_t TickMillis() = 0;
  virtual void SleepMillis(uint32_t millis) = 0;
  virtual LocalTime GetLocalTime() = 0;
  // Seconds since the epoch of a broken-down local time (DST as the OS
  // decides for that date).
  virtual int64_t LocalTimeToUnix(const LocalTime& local) = 0;
  // A new random GUID in its 16 stored bytes (Windows GUID memory layout:
  // a little-endian 32-bit field, two little-endian 16-bit fields, 8 bytes).
  virtual Status NewGuid(std::array<uint8_t, 16>* guid) = 0;

  // ---- Process -----------------------------------------------------------

  // Directory of the loaded module (shared object or executable) that
  // contains `address_in_module`, with a trailing separator; the executable's
  // directory when the address lies in no module. Empty on failure.
  virtual std::string ModuleDirectory(const void* address_in_module) = 0;
  // Tells the user of a fatal condition: a message box on Windows, standard
  // error elsewhere. Returns when the user has seen it.
  virtual void ShowFatalMessage(std::u16string_view text) = 0;
};

// Forwards every call to another Env. Tests derive from it and override only
// what they break.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    return target_->NewReadableFile(path, result);
  }
  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    return target_->NewWritableFile(path, result);
  }
  Status NewAppendableFile(const std::string& path,
                           std::unique_ptr<WritableFile>* result) override {
    return target_->NewAppendableFile(path, result);
  }
  Status NewPositionalFile(const std::string& path,
                           std::unique_ptr<PositionalFile>* result) override {
    return target_->NewPositionalFile(path, result);
  }
  bool FileExists(const std::string& path) override {
    return target_->FileExists(path);
  }
  bool IsDirectory(const std::string& path) override {
    return target_->IsDirectory(path);
  }
  bool IsSymbolicLink(const std::string& path) override {
    return target_->IsSymbolicLink(path);
  }
  Status GetFileSize(const std::string& path, uint64_t* size) override {
    return target_->GetFileSize(path, size);
  }
  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    return target_->GetFileInfo(path, info);
  }
  Status DeleteFile(const std::string& path) override {
    return target_->DeleteFile(path);
  }
  Status DeleteDirectory(const std::string& path) override {
    return target_->DeleteDirectory(path);
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  Status CreateDirectories(const std::string& path) override {
    return target_->CreateDirectories(path);
  }
  Status GetChildren(const std::string& dir,
                     std::vector<std::string>* names) override {
    return target_->GetChildren(dir, names);
  }
  Status SyncDirectory(const std::string& dir) override {
    return target_->SyncDirectory(dir);
  }
  Status GetFreeDiskSpace(const std::string& dir, uint64_t* bytes) override {
    return target_->GetFreeDiskSpace(dir, bytes);
  }
  Status SetFileTimes(const std::string& path,
                      const FileTimes& times) override {
    return target_->SetFileTimes(path, times);
  }
  Status SetReadOnly(const std::string& path, bool read_only) override {
    return target_->SetReadOnly(path, read_only);
  }
  Status SetAttributes(const std::string& path,
                       const FileAttributes& attributes) override {
    return target_->SetAttributes(path, attributes);
  }

  Status LockFile(const std::string& path,
                  std::unique_ptr<FileLock>* lock) override {
    return target_->LockFile(path, lock);
  }
  std::string NativePath(const std::string& path) override {
    return target_->NativePath(path);
  }
  Status NewThread(std::function<uint32_t()> body,
                   std::unique_ptr<Thread>* result) override {
    return target_->NewThread(std::move(body), result);
  }
  uint32_t TickMillis() override { return target_->TickMillis(); }
  void SleepMillis(uint32_t millis) override { target_->SleepMillis(millis); }
  LocalTime GetLocalTime() override { return target_->GetLocalTime(); }
  int64_t LocalTimeToUnix(const LocalTime& local) override {
    return target_->LocalTimeToUnix(local);
  }
  Status NewGuid(std::array<uint8_t, 16>* guid) override {
    return target_->NewGuid(guid);
  }
  std::string ModuleDirectory(const void* address_in_module) override {
    return target_->ModuleDirectory(address_in_module);
  }
  void ShowFatalMessage(std::u16string_view text) override {
    target_->ShowFatalMessage(text);
  }

 private:
  Env* const target_;
};

// Helpers over any Env.

// Reads a whole file, refusing one larger than max_bytes (Corruption).
Status ReadFileToString(Env* env, const std::string& path, std::string* data,
                        uint64_t max_bytes = uint64_t{1} << 30);

// Writes `data` to a temporary file beside `path`, syncs it and renames it
// over `path`: a crash or a full disk leaves the old or the new file, never
// a mix. On failure the temporary is removed and `path` is untouched.
Status WriteFileAtomically(Env* env, const std::string& path,
                           std::string_view data);

// Appends the whole file at `path` to `out`, through AppendFrom so the
// backend may copy inside the OS.
Status AppendFileContents(Env* env, const std::string& path,
                          WritableFile* out);

// Runs `body(i)` for i in [0, count) at once, body(0) on the calling
// thread and each other on a thread of its own, and returns when all have.
// A thread that cannot start is left out: bodies that take their work from
// a common pool then share it among the others.
void RunOnThreads(Env* env, size_t count,
                  const std::function<void(size_t)>& body);

// The suffix of every temporary file the system creates beside a target, so
// a later run can recognise and remove what a killed run left behind.
inline constexpr std::string_view kTempSuffix = ".dztmp";
// True for a name the system gave a temporary: something, then the suffix.
inline bool IsTemporaryName(std::string_view name) {
  return name.size() > kTempSuffix.size() && name.ends_with(kTempSuffix);
}

// Where a file that cannot be replaced while open (Windows) is moved aside
// so its successor can take the name: "<path>.old<n>" plus kTempSuffix.
std::string AsideName(const std::string& path, int n);
// The name a file moved aside had before, when `name` is an aside name.
// A run killed between the two renames leaves the target missing and only
// the aside file holding it; the sweep of stale temporaries puts such a
// file back instead of deleting it.
bool OriginalOfAsideName(std::string_view name, std::string* original);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_ENV_H_
