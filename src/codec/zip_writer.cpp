#include "codec/zip_writer.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "codec/zip_names.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;
// Input of one deflate job. Large enough that priming each piece with the
// end of the one before costs little, small enough to spread one big item
// over every thread.
constexpr size_t kPiece = size_t{1} << 20;
constexpr size_t kDictionary = size_t{32} << 10;  // deflate's whole window
// The start of an item that decides whether deflating it pays.
constexpr size_t kSample = size_t{64} << 10;
constexpr uint64_t kStoreAbovePercent = 97;
constexpr unsigned kMaxThreads = 8;
constexpr size_t kMaxPending = 16;
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
    if (status_.ok()) file_->WillSync();
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
    if (s.ok()) out->WillSync();
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

// One deflate stream, reset for every piece rather than set up again: the
// state is several hundred KiB.
class ZipWriter::Compressor {
 public:
  explicit Compressor(int level) : level_(level) {}
  ~Compressor() {
    if (ready_) deflateEnd(&z_);
  }

  z_stream* Reset() {
    if (!ready_) {
      // memLevel 9: the larger hash table deflates about a tenth faster,
      // and only the compressing side pays its memory.
      ready_ = deflateInit2(&z_, level_, Z_DEFLATED, -MAX_WBITS, 9,
                            Z_DEFAULT_STRATEGY) == Z_OK;
      return ready_ ? &z_ : nullptr;
    }
    return deflateReset(&z_) == Z_OK ? &z_ : nullptr;
  }

 private:
  const int level_;
  z_stream z_{};
  bool ready_ = false;
};

struct ZipWriter::Item {
  std::string stored;
  uint64_t size = 0;
  bool directory = false;
  int method = -1;  // guarded by mu_ until its first piece is done
  // Owner's thread only.
  uint64_t written = 0;
  uLong crc = 0;
};

struct ZipWriter::Piece {
  std::shared_ptr<Item> item;
  bool first = false;
  bool last = false;
  std::string input;
  std::string dictionary;  // the end of the piece before, if any
  std::string output;      // deflated; empty when stored
  uLong crc = 0;
  bool stored = false;
  bool done = false;  // guarded by mu_
  Status status;
};

ZipWriter::ZipWriter(Env* env, std::string path, const ZipWriterOptions& options)
    : env_(env), path_(std::move(path)), options_(options) {}

ZipWriter::~ZipWriter() {
  StopThreads();
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
  w->StartThreads();
  *result = std::move(w);
  return Status::OK();
}

void ZipWriter::StartThreads() {
  unsigned wanted = options_.threads;
  if (wanted == 0) wanted = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
  if (options_.level != 0 && wanted > 1) {
    for (unsigned i = 0; i < wanted; ++i) {
      std::unique_ptr<Thread> thread;
      if (!env_->NewThread([this] { return Work(); }, &thread).ok()) break;
      thread->Resume();
      threads_.push_back(std::move(thread));
    }
  }
  // Enough pieces ahead that the owner can read on (compare, in a diff)
  // while the threads catch up, few enough that memory stays bounded: 16
  // pieces are about 32 MiB with their output.
  max_pending_ = std::max<size_t>(kMaxPending, 2 * threads_.size() + 2);
  if (threads_.empty()) {
    own_compressor_ = std::make_unique<Compressor>(options_.level);
    max_pending_ = 0;
  }
}

void ZipWriter::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  state_cv_.notify_all();
  for (auto& thread : threads_) thread->Join();
  threads_.clear();
}

uint32_t ZipWriter::Work() {
  Compressor compressor(options_.level);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stopping_ || !todo_.empty(); });
    if (stopping_) return 0;
    Piece* piece = todo_.front();
    todo_.pop_front();
    // A later piece needs the method the first one chose; that one was
    // taken earlier, so it is already being decided.
    state_cv_.wait(lock, [&] {
      return stopping_ || piece->first || piece->item->method >= 0;
    });
    if (stopping_) return 0;
    lock.unlock();
    Deflate(piece, &compressor);
    lock.lock();
    piece->done = true;
    state_cv_.notify_all();
  }
}

// Deflates or stores one piece. The first piece of an item decides the
// method on its first kSample bytes and publishes it as soon as it knows.
void ZipWriter::Deflate(Piece* piece, Compressor* compressor) {
  const std::string& in = piece->input;
  piece->crc = crc32(0, reinterpret_cast<const Bytef*>(in.data()),
                     static_cast<uInt>(in.size()));
  Item& item = *piece->item;
  int method = -1;
  if (!piece->first) {
    std::lock_guard<std::mutex> lock(mu_);
    method = item.method;
  } else if (item.directory || options_.level == 0 || in.empty()) {
    method = 0;
  }
  auto publish = [&](int chosen) {
    if (!piece->first) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      item.method = chosen;
    }
    state_cv_.notify_all();
  };
  if (method == 0) {
    piece->stored = true;
    publish(0);
    return;
  }
  z_stream* z = compressor->Reset();
  if (z == nullptr) {
    piece->status = Status::IOError("zip: cannot start deflate");
    publish(0);
    return;
  }
  if (!piece->dictionary.empty()) {
    deflateSetDictionary(z, reinterpret_cast<const Bytef*>(piece->dictionary.data()),
                         static_cast<uInt>(piece->dictionary.size()));
  }
  std::string& out = piece->output;
  // Room for all of it plus the flush that ends each step.
  out.resize(deflateBound(z, static_cast<uLong>(in.size())) + 64);
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z->next_out = reinterpret_cast<Bytef*>(out.data());
  z->avail_out = static_cast<uInt>(out.size());
  auto step = [&](size_t n, bool finish) {
    z->avail_in = static_cast<uInt>(n);
    const int r = deflate(z, finish ? Z_FINISH : Z_SYNC_FLUSH);
    return z->avail_in == 0 && (finish ? r == Z_STREAM_END : r == Z_OK);
  };
  bool ok = true;
  bool finished = false;
  size_t done = 0;
  if (method < 0) {
    const size_t sample = std::min(in.size(), kSample);
    finished = piece->last && sample == in.size();
    ok = step(sample, finished);
    done = sample;
    // Random or compressed data: deflate would only add to it.
    const bool gains = ok && z->total_out * 100 <= sample * kStoreAbovePercent;
    publish(gains ? Z_DEFLATED : 0);
    if (!gains) {
      piece->stored = true;
      out.clear();
      return;
    }
  }
  if (ok && !finished) ok = step(in.size() - done, piece->last);
  if (!ok) {
    piece->status = Status::IOError("zip: deflate failed for " + item.stored);
    out.clear();
    return;
  }
  out.resize(z->total_out);
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

Status ZipWriter::NewItem(std::string_view name, uint64_t size, bool directory,
                          std::shared_ptr<Item>* item) {
  if (!error_.ok()) return error_;
  if (finished_) return Status::InvalidArgument("zip already finished");
  std::string stored = StoredName(name);
  if (stored.empty()) {
    return Status::InvalidArgument("not a name a zip item can carry: " +
                                   std::string(name));
  }
  if (directory) stored += '/';
  *item = std::make_shared<Item>();
  (*item)->stored = std::move(stored);
  (*item)->size = size;
  (*item)->directory = directory;
  tail_.clear();
  return Status::OK();
}

Status ZipWriter::Submit(const std::shared_ptr<Item>& item, std::string data,
                         bool first, bool last) {
  auto piece = std::make_unique<Piece>();
  piece->item = item;
  piece->first = first;
  piece->last = last;
  piece->dictionary = std::move(tail_);
  tail_.clear();
  if (!last) {
    tail_.assign(data, data.size() - std::min(data.size(), kDictionary));
  }
  piece->input = std::move(data);
  if (threads_.empty()) {
    Deflate(piece.get(), own_compressor_.get());
    piece->done = true;
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back(std::move(piece));
  } else {
    {
      std::lock_guard<std::mutex> lock(mu_);
      todo_.push_back(piece.get());
      pending_.push_back(std::move(piece));
    }
    work_cv_.notify_one();
  }
  return Drain(max_pending_);
}

Status ZipWriter::Drain(size_t keep) {
  for (;;) {
    std::unique_ptr<Piece> head;
    {
      std::unique_lock<std::mutex> lock(mu_);
      state_cv_.wait(lock, [&] {
        return pending_.size() <= keep || pending_.front()->done;
      });
      if (pending_.empty() || !pending_.front()->done) return Status::OK();
      head = std::move(pending_.front());
      pending_.pop_front();
    }
    Status s = WritePiece(*head);
    if (!s.ok()) return Fail(s);
  }
}

Status ZipWriter::WritePiece(Piece& piece) {
  if (!error_.ok()) return error_;
  if (!piece.status.ok()) return piece.status;
  zipFile zip = static_cast<zipFile>(zip_);
  Item& item = *piece.item;
  auto failed = [&](const std::string& what) {
    return output_->status().ok() ? Status::IOError(what) : output_->status();
  };
  if (piece.first) {
    zip_fileinfo info{};
    const LocalTime& t = options_.time;
    info.tmz_date.tm_sec = t.second;
    info.tmz_date.tm_min = t.minute;
    info.tmz_date.tm_hour = t.hour;
    info.tmz_date.tm_mday = t.day;
    info.tmz_date.tm_mon = t.month - 1;
    info.tmz_date.tm_year = t.year;
    info.external_fa = item.directory ? kAttrDirectory : kAttrArchive;
    const int zip64 = item.size >= 0xFFFFFFFFu ? 1 : 0;
    // Raw: the data arrives deflated (or stored) already, with its CRC.
    const int r = zipOpenNewFileInZip4_64(
        zip, item.stored.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
        item.method, options_.level, 1, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY,
        nullptr, 0, 0, IsAscii(item.stored) ? 0 : kUtf8NameFlag, zip64);
    if (r != ZIP_OK) return failed("cannot start zip item " + item.stored);
  }
  const std::string& bytes = piece.stored ? piece.input : piece.output;
  for (size_t at = 0; at < bytes.size();) {
    const unsigned n = static_cast<unsigned>(std::min<size_t>(bytes.size() - at, 1u << 30));
    if (zipWriteInFileInZip(zip, bytes.data() + at, n) != ZIP_OK) {
      return failed("zip: cannot write item data");
    }
    at += n;
  }
  item.crc = crc32_combine(item.crc, piece.crc, static_cast<z_off_t>(piece.input.size()));
  item.written += piece.input.size();
  if (piece.last && zipCloseFileInZipRaw64(zip, item.written, item.crc) != ZIP_OK) {
    return failed("zip: cannot end item " + item.stored);
  }
  return Status::OK();
}

Status ZipWriter::AddBytes(std::string_view name, std::string_view data) {
  std::shared_ptr<Item> item;
  Status s = NewItem(name, data.size(), false, &item);
  if (!s.ok()) return s;
  size_t at = 0;
  do {
    const size_t n = std::min(data.size() - at, kPiece);
    s = Submit(item, std::string(data.substr(at, n)), at == 0,
               at + n == data.size());
    at += n;
  } while (s.ok() && at < data.size());
  if (s.ok()) ++items_;
  return s;
}

Status ZipWriter::AddDirectory(std::string_view name) {
  std::shared_ptr<Item> item;
  Status s = NewItem(name, 0, true, &item);
  if (s.ok()) s = Submit(item, std::string(), true, true);
  if (s.ok()) ++items_;
  return s;
}

Status ZipWriter::AddFile(std::string_view name, const std::string& source_path) {
  if (!error_.ok()) return error_;
  std::unique_ptr<ReadableFile> in;
  uint64_t size = 0;
  Status s = env_->NewReadableFile(source_path, &in);
  if (s.ok()) s = in->Size(&size);
  if (!s.ok()) return s;  // the archive itself is still fine
  std::shared_ptr<Item> item;
  s = NewItem(name, size, false, &item);
  if (!s.ok()) return s;
  uint64_t offset = 0;
  do {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - offset, kPiece));
    std::string data(n, '\0');
    size_t got = 0;
    s = in->Read(offset, n, data.data(), &got);
    if (s.ok() && got != n) {
      s = Status::IOError("changed while it was read: " + source_path);
    }
    if (!s.ok()) {
      // Nothing of the item is in the archive yet: only the item fails.
      if (offset == 0) return s;
      return Fail(s);
    }
    s = Submit(item, std::move(data), offset == 0, offset + n == size);
    offset += n;
  } while (s.ok() && offset < size);
  if (s.ok()) ++items_;
  return s;
}

Status ZipWriter::Finish() {
  if (!error_.ok()) return error_;
  if (finished_) return Status::InvalidArgument("zip already finished");
  finished_ = true;
  Status s = Drain(0);
  StopThreads();
  if (!s.ok()) return s;
  const int r = zipClose(static_cast<zipFile>(zip_), nullptr);
  zip_ = nullptr;
  if (r != ZIP_OK) {
    return Fail(output_->status().ok() ? Status::IOError("zip: cannot close")
                                       : output_->status());
  }
  return Fail(output_->Commit(path_));
}

}  // namespace dizedir
