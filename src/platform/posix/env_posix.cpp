// The POSIX backend of Env.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // dladdr1, struct link_map
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/env.h"
#include "platform/posix/path_mapping.h"
#include "platform/text.h"

namespace dizedir {

namespace {

Status ErrnoStatus(const std::string& context, int error) {
  const std::string message =
      context + ": " + std::generic_category().message(error);
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return Status::NotFound(message);
    case ENOSPC:
    case EDQUOT:
      return Status::NoSpace(message);
    case EWOULDBLOCK:
    case EBUSY:
      return Status::Busy(message);
    default:
      return Status::IOError(message);
  }
}

// Writes all of [data, data+n) or fails; short writes and signals are the
// normal case on pipes and full disks, not an error.
Status WriteAll(int fd, const char* data, size_t n, const std::string& name) {
  while (n > 0) {
    const ssize_t done = ::write(fd, data, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(name, errno);
    }
    data += done;
    n -= static_cast<size_t>(done);
  }
  return Status::OK();
}

int CloseIgnoringSignals(int fd) {
  // Linux releases the descriptor even when close reports EINTR, so it
  // must not be retried.
  return ::close(fd);
}

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(std::string name, int fd)
      : name_(std::move(name)), fd_(fd) {}
  ~PosixReadableFile() override { CloseIgnoringSignals(fd_); }

  Status Read(uint64_t offset, size_t n, char* scratch,
              size_t* bytes_read) override {
    *bytes_read = 0;
    while (*bytes_read < n) {
      const ssize_t got =
          ::pread(fd_, scratch + *bytes_read, n - *bytes_read,
                  static_cast<off_t>(offset + *bytes_read));
      if (got < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus(name_, errno);
      }
      if (got == 0) break;
      *bytes_read += static_cast<size_t>(got);
    }
    return Status::OK();
  }

  Status Size(uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return ErrnoStatus(name_, errno);
    *size = static_cast<uint64_t>(st.st_size);
    return Status::OK();
  }

  const std::string& name() const { return name_; }
  int fd() const { return fd_; }

 private:
  const std::string name_;
  const int fd_;
};

// Errors after which copy_file_range will not work for this pair of files
// (another filesystem, an old kernel, a file type it cannot copy), as
// opposed to errors of the disk or the files themselves.
bool KernelCopyUnsupported(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL ||
         error == EOPNOTSUPP || error == ENOTSUP;
}

class PosixWritableFile final : public WritableFile {
 public:
  // `end` is the size of the file at open, where appending starts.
  PosixWritableFile(std::string name, int fd, bool appending, uint64_t end,
                    uint64_t block_size)
      : name_(std::move(name)),
        fd_(fd),
        appending_(appending),
        block_size_(block_size == 0 ? 4096 : block_size),
        end_(end) {
    buffer_.reserve(kBufferSize);
  }
  ~PosixWritableFile() override {
    if (fd_ >= 0) Close();
  }

  Status Append(std::string_view data) override {
    if (fd_ < 0) return Status::IOError(name_ + ": file is closed");
    if (data.size() <= kBufferSize - buffer_.size()) {
      buffer_.append(data);
      return Status::OK();
    }
    Status s = FlushBuffer();
    if (!s.ok()) return s;
    // A large piece goes straight to the OS instead of through the buffer.
    if (data.size() >= kBufferSize) {
      s = WriteAll(fd_, data.data(), data.size(), name_);
      if (s.ok()) Written(data.size());
      return s;
    }
    buffer_.append(data);
    return Status::OK();
  }

  // Copies inside the kernel only where a filesystem that can share extents
  // (reflink) makes the copy nearly free: both ends on block boundaries.
  // Anything else the kernel copies through a pipe a few pages at a time,
  // which measured slower on ext4 than the plain buffered copy, so it goes
  // through the buffer.
  Status AppendFrom(ReadableFile* source, uint64_t offset,
                    uint64_t length) override {
    if (fd_ < 0) return Status::IOError(name_ + ": file is closed");
    auto* posix_source = dynamic_cast<PosixReadableFile*>(source);
    // copy_file_range refuses a target opened for appending.
    if (posix_source == nullptr || appending_ || !kernel_copy_ ||
        !OnBlockBoundaries(offset, length)) {
      return WritableFile::AppendFrom(source, offset, length);
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        length > static_cast<uint64_t>(INT64_MAX) - offset) {
      return Status::InvalidArgument(name_ + ": range copy past the largest offset");
    }
    Status s = FlushBuffer();
    if (!s.ok()) return s;
    while (length > 0) {
      loff_t from = static_cast<loff_t>(offset);
      const size_t n =
          static_cast<size_t>(std::min<uint64_t>(length, kMaxKernelCopy));
      const ssize_t done =
          ::copy_file_range(posix_source->fd(), &from, fd_, nullptr, n, 0);
      if (done < 0) {
        const int error = errno;
        if (error == EINTR) continue;
        if (KernelCopyUnsupported(error)) {
          // Nothing of this call was written; the rest goes through a
          // buffer, and so do later copies into this file.
          kernel_copy_ = false;
          return WritableFile::AppendFrom(source, offset, length);
        }
        return ErrnoStatus(name_, error);
      }
      if (done == 0) {
        return Status::Corruption(posix_source->name() +
                                  ": ends before the range to copy");
      }
      offset += static_cast<uint64_t>(done);
      length -= static_cast<uint64_t>(done);
      Written(static_cast<uint64_t>(done));
    }
    return Status::OK();
  }

  void WillSync() override {
    if (fd_ < 0 || write_behind_) return;
    // What is still buffered is counted when it is written.
    write_behind_ = true;
    writeback_start_ = end_;
  }

  Status Flush() override {
    if (fd_ < 0) return Status::IOError(name_ + ": file is closed");
    return FlushBuffer();
  }

  Status Sync() override {
    Status s = Flush();
    if (!s.ok()) return s;
    if (::fdatasync(fd_) != 0) return ErrnoStatus(name_, errno);
    return Status::OK();
  }

  Status Close() override {
    if (fd_ < 0) return Status::OK();
    Status s = FlushBuffer();
    if (CloseIgnoringSignals(fd_) != 0 && s.ok()) {
      s = ErrnoStatus(name_, errno);
    }
    fd_ = -1;
    return s;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;
  // One copy_file_range call at most; the kernel caps a call near 2 GiB.
  static constexpr uint64_t kMaxKernelCopy = uint64_t{1} << 30;
  // With write-behind on, each time this much more was handed to the OS its
  // writeback is started, so the disk works while the copy goes on and the
  // final sync finds little left.
  static constexpr uint64_t kWriteBehindWindow = uint64_t{32} << 20;

  Status FlushBuffer() {
    Status s = WriteAll(fd_, buffer_.data(), buffer_.size(), name_);
    if (s.ok()) Written(buffer_.size());
    // Whatever could not be written is dropped: retrying a full disk with
    // the same bytes would only fail again, and the caller has the error.
    buffer_.clear();
    return s;
  }

  bool OnBlockBoundaries(uint64_t offset, uint64_t length) const {
    return length >= block_size_ && offset % block_size_ == 0 &&
           (end_ + buffer_.size()) % block_size_ == 0;
  }

  void Written(uint64_t bytes) {
    end_ += bytes;
    if (!write_behind_ || end_ - writeback_start_ < kWriteBehindWindow) return;
    // Asynchronous: queues the pages for writing and returns. A failure
    // costs only the head start, and Sync still reports real errors.
    if (::sync_file_range(fd_, static_cast<off_t>(writeback_start_),
                          static_cast<off_t>(end_ - writeback_start_),
                          SYNC_FILE_RANGE_WRITE) != 0) {
      write_behind_ = false;
    }
    writeback_start_ = end_;
  }

  const std::string name_;
  int fd_;
  const bool appending_;
  const uint64_t block_size_;
  std::string buffer_;
  bool kernel_copy_ = true;
  bool write_behind_ = false;
  uint64_t end_;                  // file offset after the last byte written
  uint64_t writeback_start_ = 0;  // first byte whose writeback is not started
};

class PosixPositionalFile final : public PositionalFile {
 public:
  PosixPositionalFile(std::string name, int fd)
      : name_(std::move(name)), fd_(fd) {}
  ~PosixPositionalFile() override {
    if (fd_ >= 0) Close();
  }

  Status WriteAt(uint64_t offset, std::string_view data) override {
    if (fd_ < 0) return Status::IOError(name_ + ": file is closed");
    if (offset > static_cast<uint64_t>(INT64_MAX) - data.size()) {
      return Status::InvalidArgument(name_ + ": write past the largest offset");
    }
    // pwrite leaves the file position alone, so writers at other offsets
    // never race over it.
    const char* at = data.data();
    size_t left = data.size();
    while (left > 0) {
      const ssize_t done = ::pwrite(fd_, at, left, static_cast<off_t>(offset));
      if (done < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus(name_, errno);
      }
      if (done == 0) return Status::NoSpace(name_ + ": nothing written");
      at += done;
      left -= static_cast<size_t>(done);
      offset += static_cast<uint64_t>(done);
    }
    return Status::OK();
  }

  Status Sync() override {
    if (fd_ < 0) return Status::IOError(name_ + ": file is closed");
    if (::fdatasync(fd_) != 0) return ErrnoStatus(name_, errno);
    return Status::OK();
  }

  Status Close() override {
    if (fd_ < 0) return Status::OK();
    Status s;
    if (CloseIgnoringSignals(fd_) != 0) s = ErrnoStatus(name_, errno);
    fd_ = -1;
    return s;
  }

 private:
  const std::string name_;
  int fd_;
};

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  // Closing the descriptor releases the flock.
  ~PosixFileLock() override { CloseIgnoringSignals(fd_); }

 private:
  const int fd_;
};

// Created parked on a condition variable, so the OS thread (and its stack)
// exists from creation on, as a suspended thread does on Windows.
class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::function<uint32_t()> body)
      : body_(std::move(body)) {}

  ~PosixThread() override {
    if (!started_) return;
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (state_ == State::kSuspended) state_ = State::kDiscarded;
    }
    wake_.notify_one();
    JoinOnce();
  }

  Status Start() {
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
      error = pthread_attr_setstacksize(&attr, Env::kThreadStackSize);
      if (error == 0) error = pthread_create(&thread_, &attr, &Run, this);
      pthread_attr_destroy(&attr);
    }
    if (error != 0) return ErrnoStatus("thread creation", error);
    started_ = true;
    return Status::OK();
  }

  void Resume() override {
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (state_ == State::kSuspended) state_ = State::kRunning;
    }
    wake_.notify_one();
  }

  uint32_t Join() override {
    {
      // Waiting for a body that can never start would hang for ever; a
      // never-resumed thread is discarded instead and reports no result.
      std::unique_lock<std::mutex> lock(mu_);
      if (state_ == State::kSuspended) state_ = State::kDiscarded;
    }
    wake_.notify_one();
    JoinOnce();
    return result_;
  }

 private:
  enum class State { kSuspended, kRunning, kDiscarded };

  static void* Run(void* arg) {
    auto* self = static_cast<PosixThread*>(arg);
    State state;
    {
      std::unique_lock<std::mutex> lock(self->mu_);
      self->wake_.wait(lock,
                       [self] { return self->state_ != State::kSuspended; });
      state = self->state_;
    }
    if (state == State::kRunning) self->result_ = self->body_();
    return nullptr;
  }

  void JoinOnce() {
    if (joined_) return;
    pthread_join(thread_, nullptr);
    joined_ = true;
  }

  std::function<uint32_t()> body_;
  std::mutex mu_;
  std::condition_variable wake_;
  State state_ = State::kSuspended;  // guarded by mu_
  // Written by the body's thread before it ends; read after the join.
  uint32_t result_ = UINT32_MAX;
  pthread_t thread_{};
  bool started_ = false;
  bool joined_ = false;
};

std::string DirectoryOf(const std::string& file) {
  const std::string::size_type slash = file.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return file.substr(0, slash + 1);
}

std::string RealPath(const char* path) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

class PosixEnv final : public Env {
 public:
  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    result->reset();
    const std::string name = mapper_.Map(path);
    const int fd = OpenRetrying(name, O_RDONLY, 0);
    if (fd < 0) return ErrnoStatus(name, errno);
    *result = std::make_unique<PosixReadableFile>(name, fd);
    return Status::OK();
  }

  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    return OpenWritable(path, O_WRONLY | O_CREAT | O_TRUNC, result);
  }

  Status NewAppendableFile(const std::string& path,
                           std::unique_ptr<WritableFile>* result) override {
    return OpenWritable(path, O_WRONLY | O_CREAT | O_APPEND, result);
  }

  Status NewPositionalFile(const std::string& path,
                           std::unique_ptr<PositionalFile>* result) override {
    result->reset();
    const std::string name = mapper_.Map(path);
    int fd;
    {
      PathMapper::Change change(&mapper_, name);
      fd = OpenRetrying(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    }
    if (fd < 0) return ErrnoStatus(name, errno);
    *result = std::make_unique<PosixPositionalFile>(name, fd);
    return Status::OK();
  }

  bool FileExists(const std::string& path) override {
    return ::access(mapper_.Map(path).c_str(), F_OK) == 0;
  }

  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(mapper_.Map(path).c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
  }

  bool IsSymbolicLink(const std::string& path) override {
    struct stat st;
    return ::lstat(mapper_.Map(path).c_str(), &st) == 0 &&
           S_ISLNK(st.st_mode);
  }

  Status GetFileSize(const std::string& path, uint64_t* size) override {
    FileInfo info;
    const Status s = GetFileInfo(path, &info);
    *size = info.size;
    return s;
  }

  Status GetFileInfo(const std::string& path, FileInfo* info) override {
    *info = FileInfo();
    const std::string name = mapper_.Map(path);
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return ErrnoStatus(name, errno);
    info->size = static_cast<uint64_t>(st.st_size);
    info->modified_nanos =
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return Status::OK();
  }

  Status DeleteFile(const std::string& path) override {
    const std::string name = mapper_.Map(path);
    PathMapper::Change change(&mapper_, name);
    if (::unlink(name.c_str()) != 0) return ErrnoStatus(name, errno);
    return Status::OK();
  }

  Status DeleteDirectory(const std::string& path) override {
    const std::string name = mapper_.Map(path);
    PathMapper::Change change(&mapper_, name);
    if (::rmdir(name.c_str()) != 0) return ErrnoStatus(name, errno);
    return Status::OK();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    const std::string source = mapper_.Map(from);
    const std::string target = mapper_.Map(to);
    PathMapper::Change leaving(&mapper_, source);
    PathMapper::Change arriving(&mapper_, target);
    if (::rename(source.c_str(), target.c_str()) != 0) {
      return ErrnoStatus(source + " -> " + target, errno);
    }
    return Status::OK();
  }

  Status CreateDirectories(const std::string& path) override {
    const std::string name = mapper_.Map(path);
    if (name.empty()) return Status::InvalidArgument("empty directory name");
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return Status::OK();
    }
    // Every prefix ending before a slash is a directory to make, then the
    // whole path; existing ones are fine.
    std::string::size_type end = name.find('/', name[0] == '/' ? 1 : 0);
    for (;; end = name.find('/', end + 1)) {
      const std::string prefix = name.substr(0, end);
      if (!prefix.empty() && prefix.back() != '/') {
        Status s = MakeDirectory(prefix);
        if (!s.ok()) return s;
      }
      if (end == std::string::npos) break;
    }
    return Status::OK();
  }

  Status GetChildren(const std::string& dir,
                     std::vector<std::string>* names) override {
    names->clear();
    const std::string name = mapper_.Map(dir);
    DIR* stream = ::opendir(name.c_str());
    if (stream == nullptr) return ErrnoStatus(name, errno);
    while (const struct dirent* entry = ::readdir(stream)) {
      const std::string_view child(entry->d_name);
      if (child != "." && child != "..") names->emplace_back(child);
    }
    ::closedir(stream);
    return Status::OK();
  }

  Status SyncDirectory(const std::string& dir) override {
    const std::string name = mapper_.Map(dir);
    const int fd = OpenRetrying(name, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return ErrnoStatus(name, errno);
    Status s;
    if (::fsync(fd) != 0) s = ErrnoStatus(name, errno);
    CloseIgnoringSignals(fd);
    return s;
  }

  Status GetFreeDiskSpace(const std::string& dir, uint64_t* bytes) override {
    *bytes = 0;
    const std::string name = mapper_.Map(dir);
    struct statvfs info;
    if (::statvfs(name.c_str(), &info) != 0) return ErrnoStatus(name, errno);
    *bytes = static_cast<uint64_t>(info.f_bavail) *
             static_cast<uint64_t>(info.f_frsize);
    return Status::OK();
  }

  Status SetFileTimes(const std::string& path,
                      const FileTimes& times) override {
    const std::string name = mapper_.Map(path);
    struct timespec values[2] = {};
    values[0].tv_sec = static_cast<time_t>(times.accessed);
    values[1].tv_sec = static_cast<time_t>(times.modified);
    if (::utimensat(AT_FDCWD, name.c_str(), values, 0) != 0) {
      return ErrnoStatus(name, errno);
    }
    return Status::OK();
  }

  Status SetReadOnly(const std::string& path, bool read_only) override {
    const std::string name = mapper_.Map(path);
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return ErrnoStatus(name, errno);
    mode_t mode = st.st_mode & 07777;
    mode = read_only ? (mode & ~mode_t{0222}) : (mode | S_IWUSR);
    if (::chmod(name.c_str(), mode) != 0) return ErrnoStatus(name, errno);
    return Status::OK();
  }

  Status SetAttributes(const std::string& path,
                       const FileAttributes& attributes) override {
    return SetReadOnly(path, attributes.read_only);
  }

  Status LockFile(const std::string& path,
                  std::unique_ptr<FileLock>* lock) override {
    lock->reset();
    const std::string name = mapper_.Map(path);
    int fd;
    {
      PathMapper::Change change(&mapper_, name);
      fd = OpenRetrying(name, O_RDWR | O_CREAT, 0666);
    }
    if (fd < 0) return ErrnoStatus(name, errno);
    // flock belongs to the open file description, so a second open in this
    // same process conflicts just as another process does.
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const int error = errno;
      CloseIgnoringSignals(fd);
      if (error == EWOULDBLOCK) {
        return Status::Busy(name + ": locked by another run");
      }
      return ErrnoStatus(name, error);
    }
    *lock = std::make_unique<PosixFileLock>(fd);
    return Status::OK();
  }

  std::string NativePath(const std::string& path) override {
    return mapper_.Map(path);
  }

  Status NewThread(std::function<uint32_t()> body,
                   std::unique_ptr<Thread>* result) override {
    result->reset();
    auto thread = std::make_unique<PosixThread>(std::move(body));
    Status s = thread->Start();
    if (!s.ok()) return s;
    *result = std::move(thread);
    return Status::OK();
  }

  uint32_t TickMillis() override {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t millis = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(millis);
  }

  void SleepMillis(uint32_t millis) override {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(millis / 1000u);
    left.tv_nsec = static_cast<long>(millis % 1000u) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  LocalTime GetLocalTime() override {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts = {};
    ::localtime_r(&now.tv_sec, &parts);
    LocalTime local;
    local.year = parts.tm_year + 1900;
    local.month = parts.tm_mon + 1;
    local.day_of_week = parts.tm_wday;
    local.day = parts.tm_mday;
    local.hour = parts.tm_hour;
    local.minute = parts.tm_min;
    local.second = parts.tm_sec;
    local.millisecond = static_cast<int>(now.tv_nsec / 1000000L);
    return local;
  }

  int64_t LocalTimeToUnix(const LocalTime& local) override {
    struct tm parts = {};
    parts.tm_year = local.year - 1900;
    parts.tm_mon = local.month - 1;
    parts.tm_mday = local.day;
    parts.tm_hour = local.hour;
    parts.tm_min = local.minute;
    parts.tm_sec = local.second;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(::mktime(&parts));
  }

  Status NewGuid(std::array<uint8_t, 16>* guid) override {
    Status s = RandomBytes(guid->data(), guid->size());
    if (!s.ok()) return s;
    // Version 4 sits in the high nibble of the third field, which is stored
    // little-endian, so in byte 7; the variant in the first byte of the
    // last eight.
    (*guid)[7] = static_cast<uint8_t>(((*guid)[7] & 0x0F) | 0x40);
    (*guid)[8] = static_cast<uint8_t>(((*guid)[8] & 0x3F) | 0x80);
    return Status::OK();
  }

  std::string ModuleDirectory(const void* address_in_module) override {
    Dl_info info = {};
    struct link_map* map = nullptr;
    // The main program's link map has an empty name, and the name dladdr
    // would give for it is argv[0], relative to a directory the host may
    // have left; /proc/self/exe is reliable for it.
    if (::dladdr1(address_in_module, &info, reinterpret_cast<void**>(&map),
                  RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0' &&
        info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
      const std::string module = RealPath(info.dli_fname);
      if (!module.empty()) return DirectoryOf(module);
    }
    return DirectoryOf(RealPath("/proc/self/exe"));
  }

  void ShowFatalMessage(std::u16string_view text) override {
    const std::string line = Utf16ToUtf8(text) + "\n";
    WriteAll(STDERR_FILENO, line.data(), line.size(), "standard error");
  }

 private:
  static int OpenRetrying(const std::string& name, int flags, mode_t mode) {
    int fd;
    do {
      fd = ::open(name.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }

  // One directory whose parent exists; an existing directory is fine.
  Status MakeDirectory(const std::string& name) {
    PathMapper::Change change(&mapper_, name);
    if (::mkdir(name.c_str(), 0777) == 0) return Status::OK();
    const int error = errno;
    struct stat st;
    if (error != EEXIST || ::stat(name.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
      return ErrnoStatus(name, error == EEXIST ? ENOTDIR : error);
    }
    return Status::OK();
  }

  Status OpenWritable(const std::string& path, int flags,
                      std::unique_ptr<WritableFile>* result) {
    result->reset();
    const std::string name = mapper_.Map(path);
    int fd;
    {
      PathMapper::Change change(&mapper_, name);
      fd = OpenRetrying(name, flags, 0666);
    }
    if (fd < 0) return ErrnoStatus(name, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      CloseIgnoringSignals(fd);
      return ErrnoStatus(name, error);
    }
    *result = std::make_unique<PosixWritableFile>(
        name, fd, (flags & O_APPEND) != 0, static_cast<uint64_t>(st.st_size),
        static_cast<uint64_t>(st.st_blksize));
    return Status::OK();
  }

  static Status RandomBytes(uint8_t* out, size_t n) {
    size_t filled = 0;
    while (filled < n) {
      const ssize_t got = ::getrandom(out + filled, n - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        break;  // an old kernel without getrandom: fall back below
      }
      filled += static_cast<size_t>(got);
    }
    if (filled == n) return Status::OK();
    const int fd = OpenRetrying("/dev/urandom", O_RDONLY, 0);
    if (fd < 0) return ErrnoStatus("/dev/urandom", errno);
    while (filled < n) {
      const ssize_t got = ::read(fd, out + filled, n - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        CloseIgnoringSignals(fd);
        return Status::IOError("/dev/urandom: short read");
      }
      filled += static_cast<size_t>(got);
    }
    CloseIgnoringSignals(fd);
    return Status::OK();
  }

  PathMapper mapper_;
};

}  // namespace

Env* Env::Default() {
  // Deliberately leaked: threads still running at exit may use it.
  static Env* const env = new PosixEnv;
  return env;
}

}  // namespace dizedir
