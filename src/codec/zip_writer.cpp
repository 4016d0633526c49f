#include "codec/zip_writer.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "codec/zip_names.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr size_t kMaxNameUnits = 259;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uLong kUtf8NameFlag = 1u << 11;

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

// The archive's bytes on their way to the temporary file. minizip treats its
// output as seekable; this keeps the newest `window` bytes in memory where
// writes behind the position may still change them, and remembers any write
// that reaches further back so Finish can apply it in a copy pass.
class ZipWriter::Output {
 public:
  Output(Env* env, std::string temp_path, size_t window)
      : env_(env), temp_path_(std::move(temp_path)),
        window_(std::max<size_t>(window, 4096)) {}

  ~Output() {
    file_.reset();
    if (!done_) {
      env_->DeleteFile(temp_path_);
      env_->DeleteFile(CopyPath());
    }
  }

  Status Open() {
    status_ = env_->NewWritableFile(temp_path_, &file_);
    return status_;
  }

  uLong Write(const void* data, uLong size) {
    if (!status_.ok()) return 0;
    const uint64_t end = held_start_ + held_.size();
    if (pos_ > end) {
      status_ = Status::InvalidArgument("zip output: write past the end");
      return 0;
    }
    const char* p = static_cast<const char*>(data);
    size_t n = size;
    if (pos_ < held_start_) {
      const size_t below =
          static_cast<size_t>(std::min<uint64_t>(n, held_start_ - pos_));
      patches_.emplace_back(pos_, std::string(p, below));
      pos_ += below;
      p += below;
      n -= below;
    }
    if (n > 0) {
      const size_t at = static_cast<size_t>(pos_ - held_start_);
      const size_t overlap = std::min(n, held_.size() - at);
      std::memcpy(held_.data() + at, p, overlap);
      held_.append(p + overlap, n - overlap);
      pos_ += n;
    }
    if (held_.size() >= 2 * window_ && !FlushHeld(window_).ok()) return 0;
    return size;
  }

  ZPOS64_T Tell() const { return pos_; }

  long Seek(ZPOS64_T offset, int origin) {
    const uint64_t end = held_start_ + held_.size();
    uint64_t target = offset;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) target = pos_ + offset;
    if (origin == ZLIB_FILEFUNC_SEEK_END) target = end + offset;
    if (target > end) return -1;
    pos_ = target;
    return 0;
  }

  int Error() const { return status_.ok() ? 0 : 1; }
  const Status& status() const { return status_; }

  // Everything written reaches `path`, whole, or nothing changes there.
  Status Commit(const std::string& path) {
    if (!status_.ok()) return status_;
    Status s = FlushHeld(0);
    if (s.ok()) s = file_->Sync();
    if (s.ok()) s = file_->Close();
    file_.reset();
    std::string source = temp_path_;
    if (s.ok() && !patches_.empty()) {
      s = CopyWithPatches();
      source = CopyPath();
    }
    if (s.ok()) s = env_->RenameFile(source, path);
    if (!s.ok()) return status_ = s;
    if (source != temp_path_) env_->DeleteFile(temp_path_);
    done_ = true;
    return s;
  }

 private:
  std::string CopyPath() const { return temp_path_ + ".copy" + std::string(kTempSuffix); }

  Status FlushHeld(size_t keep) {
    if (held_.size() <= keep) return Status::OK();
    const size_t n = held_.size() - keep;
    Status s = file_->Append(std::string_view(held_.data(), n));
    if (!s.ok()) return status_ = s;
    held_.erase(0, n);
    held_start_ += n;
    return s;
  }

  Status CopyWithPatches() {
    std::unique_ptr<ReadableFile> in;
    std::unique_ptr<WritableFile> out;
    Status s = env_->NewReadableFile(temp_path_, &in);
    if (s.ok()) s = env_->NewWritableFile(CopyPath(), &out);
    std::string chunk(kCopyChunk, '\0');
    for (uint64_t offset = 0; s.ok(); offset += chunk.size()) {
      size_t got = 0;
      chunk.resize(kCopyChunk);
      s = in->Read(offset, chunk.size(), chunk.data(), &got);
      if (!s.ok() || got == 0) break;
      chunk.resize(got);
      for (const auto& [at, bytes] : patches_) {
        const uint64_t from = std::max(at, offset);
        const uint64_t to = std::min(at + bytes.size(), offset + got);
        if (from < to) {
          std::memcpy(chunk.data() + (from - offset), bytes.data() + (from - at),
                      static_cast<size_t>(to - from));
        }
      }
      s = out->Append(chunk);
    }
    if (s.ok()) s = out->Sync();
    if (s.ok()) s = out->Close();
    return s;
  }

  Env* const env_;
  const std::string temp_path_;
  const size_t window_;
  std::unique_ptr<WritableFile> file_;
  std::string held_;         // bytes from held_start_ on, not yet in file_
  uint64_t held_start_ = 0;  // bytes already handed to file_
  uint64_t pos_ = 0;
  std::vector<std::pair<uint64_t, std::string>> patches_;
  Status status_;
  bool done_ = false;
};

namespace {

voidpf OpenStream(voidpf opaque, const void*, int) { return opaque; }
uLong ReadStream(voidpf, voidpf, void*, uLong) { return 0; }
int CloseStream(voidpf, voidpf) { return 0; }

}  // namespace

ZipWriter::ZipWriter(Env* env, std::string path, const ZipWriterOptions& options)
    : env_(env), path_(std::move(path)), options_(options) {}

ZipWriter::~ZipWriter() {
  if (zip_ != nullptr) zipClose(static_cast<zipFile>(zip_), nullptr);
}

Status ZipWriter::Create(Env* env, const std::string& path,
                         const ZipWriterOptions& options,
                         std::unique_ptr<ZipWriter>* result) {
  std::unique_ptr<ZipWriter> w(new ZipWriter(env, path, options));
  if (w->options_.time.year == 0) w->options_.time = env->GetLocalTime();
  w->output_ = std::make_unique<Output>(env, path + std::string(kTempSuffix),
                                        options.patch_window);
  Status s = w->output_->Open();
  if (!s.ok()) return s;

  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenStream;
  functions.zread_file = ReadStream;
  functions.zwrite_file = [](voidpf opaque, voidpf, const void* buf,
                             uLong size) -> uLong {
    return static_cast<Output*>(opaque)->Write(buf, size);
  };
  functions.ztell64_file = [](voidpf opaque, voidpf) -> ZPOS64_T {
    return static_cast<Output*>(opaque)->Tell();
  };
  functions.zseek64_file = [](voidpf opaque, voidpf, ZPOS64_T offset,
                              int origin) -> long {
    return static_cast<Output*>(opaque)->Seek(offset, origin);
  };
  functions.zclose_file = CloseStream;
  functions.zerror_file = [](voidpf opaque, voidpf) -> int {
    return static_cast<Output*>(opaque)->Error();
  };
  functions.opaque = w->output_.get();
  w->zip_ = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
  if (w->zip_ == nullptr) return Status::IOError("cannot start zip " + path);
  *result = std::move(w);
  return Status::OK();
}

std::string ZipWriter::StoredName(std::string_view name) {
  std::string stored(name);
  std::replace(stored.begin(), stored.end(), '\\', '/');
  if (stored.empty() || stored.back() == '/' || stored.front() == '/' ||
      stored.find("//") != std::string::npos) {
    return "";
  }
  size_t start = 0;
  while (start <= stored.size()) {
    size_t end = stored.find('/', start);
    if (end == std::string::npos) end = stored.size();
    const std::string_view part(stored.data() + start, end - start);
    if (part == "." || part == "..") return "";
    start = end + 1;
  }
  // Extraction decodes names as UTF-8 and cleans them; a name must come back
  // exactly as given, so invalid UTF-8 and drive prefixes are refused here.
  const std::u16string wide = Utf8ToUtf16(stored);
  if (wide.size() > kMaxNameUnits || Utf16ToUtf8(wide) != stored ||
      ZipCleanName(wide) != wide || !ZipNameIsContained(wide)) {
    return "";
  }
  return stored;
}

Status ZipWriter::Fail(Status s) {
  if (error_.ok()) error_ = s;
  return s;
}

Status ZipWriter::BeginItem(std::string_view name, uint64_t size_hint,
                            bool directory, std::string* stored) {
  if (!error_.ok()) return error_;
  if (finished_) return Status::InvalidArgument("zip already finished");
  *stored = StoredName(name);
  if (stored->empty()) {
    return Status::InvalidArgument("not a name a zip item can carry: " +
                                   std::string(name));
  }
  zip_fileinfo info{};
  const LocalTime& t = options_.time;
  info.tmz_date.tm_sec = t.second;
  info.tmz_date.tm_min = t.minute;
  info.tmz_date.tm_hour = t.hour;
  info.tmz_date.tm_mday = t.day;
  info.tmz_date.tm_mon = t.month - 1;
  info.tmz_date.tm_year = t.year;
  info.external_fa = directory ? kAttrDirectory : kAttrArchive;
  if (directory) *stored += '/';
  const int method = options_.level == 0 ? 0 : Z_DEFLATED;
  const int zip64 = size_hint >= 0xFFFFFFFFu ? 1 : 0;
  const int r = zipOpenNewFileInZip4_64(
      static_cast<zipFile>(zip_), stored->c_str(), &info, nullptr, 0, nullptr,
      0, nullptr, method, options_.level, 0, -MAX_WBITS, 8,
      Z_DEFAULT_STRATEGY, nullptr, 0, 0, IsAscii(*stored) ? 0 : kUtf8NameFlag,
      zip64);
  if (r != ZIP_OK) {
    return Fail(output_->status().ok()
                    ? Status::IOError("cannot start zip item " + *stored)
                    : output_->status());
  }
  return Status::OK();
}

Status ZipWriter::WriteData(const char* data, size_t size) {
  while (size > 0) {
    const unsigned n = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
    if (zipWriteInFileInZip(static_cast<zipFile>(zip_), data, n) != ZIP_OK) {
      return Fail(output_->status().ok()
                      ? Status::IOError("zip: cannot deflate item data")
                      : output_->status());
    }
    data += n;
    size -= n;
  }
  return Status::OK();
}

Status ZipWriter::EndItem() {
  if (zipCloseFileInZip(static_cast<zipFile>(zip_)) != ZIP_OK) {
    return Fail(output_->status().ok() ? Status::IOError("zip: cannot end item")
                                       : output_->status());
  }
  ++items_;
  return Status::OK();
}

Status ZipWriter::AddBytes(std::string_view name, std::string_view data) {
  std::string stored;
  Status s = BeginItem(name, data.size(), false, &stored);
  if (s.ok()) s = WriteData(data.data(), data.size());
  if (s.ok()) s = EndItem();
  return s;
}

Status ZipWriter::AddDirectory(std::string_view name) {
  std::string stored;
  Status s = BeginItem(name, 0, true, &stored);
  if (s.ok()) s = EndItem();
  return s;
}

Status ZipWriter::AddFile(std::string_view name, const std::string& source_path) {
  if (!error_.ok()) return error_;
  std::unique_ptr<ReadableFile> in;
  uint64_t size = 0;
  Status s = env_->NewReadableFile(source_path, &in);
  if (s.ok()) s = in->Size(&size);
  if (!s.ok()) return s;  // the archive itself is still fine
  std::string stored;
  s = BeginItem(name, size, false, &stored);
  std::string chunk(kCopyChunk, '\0');
  for (uint64_t offset = 0; s.ok();) {
    size_t got = 0;
    s = in->Read(offset, chunk.size(), chunk.data(), &got);
    if (!s.ok()) {
      Fail(s);
      break;
    }
    if (got == 0) break;
    s = WriteData(chunk.data(), got);
    offset += got;
  }
  if (s.ok()) s = EndItem();
  return s;
}

Status ZipWriter::Finish() {
  if (!error_.ok()) return error_;
  if (finished_) return Status::InvalidArgument("zip already finished");
  finished_ = true;
  const int r = zipClose(static_cast<zipFile>(zip_), nullptr);
  zip_ = nullptr;
  if (r != ZIP_OK) {
    return Fail(output_->status().ok() ? Status::IOError("zip: cannot close")
                                       : output_->status());
  }
  return Fail(output_->Commit(path_));
}

}  // namespace dizedir
