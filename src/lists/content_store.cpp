#include "lists/content_store.h"

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <new>
#include <utility>

namespace dizedir {
namespace {

constexpr char kZlibForm = 'z';
constexpr char kRawForm = 'r';
constexpr int kLevel = 6;
// Below the allocator's mmap threshold, as content_hash.cpp explains, and
// large enough to stream at disk speed.
constexpr size_t kPiece = 64 << 10;
// The raw temporary of a writer whose zlib form came out no shorter: it
// must not be the zlib temporary's name, which it is inflated from.
constexpr std::string_view kRawTempMark = ".r";

using Sink = std::function<Status(std::string_view content)>;

std::string HashDirectory(const std::string& hex) { return hex.substr(0, 2); }

// Where `path` ends its directory, in either spelling; npos when it names
// no directory.
size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

// The rename in place survives a power cut only once the directory is
// synced; the file is complete whatever this gives, so it is best effort.
void SyncParent(Env* env, const std::string& path) {
  const std::string native = env->NativePath(path);
  const size_t slash = native.find_last_of('/');
  if (slash != std::string::npos) env->SyncDirectory(native.substr(0, slash + 1));
}

// A zlib stream whose end is always called.
class Deflater {
 public:
  Deflater() { ready_ = deflateInit(&z_, kLevel) == Z_OK; }
  ~Deflater() {
    if (ready_) deflateEnd(&z_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  bool ready() const { return ready_; }
  z_stream* stream() { return &z_; }

 private:
  z_stream z_ = {};
  bool ready_ = false;
};

// Checks an object fed to it piece by piece against the content it must
// hold and hands that content on as it comes out, never more than one byte
// past the size expected.
class ObjectDecoder {
 public:
  // `shown` starts every refusal ("store object <path>"). With
  // `any_length`, a zlib object is not refused for being long (a writer's
  // own temporary, which it checks while turning it raw).
  ObjectDecoder(std::string shown, const ContentHash& hash, uint64_t size,
                bool any_length = false)
      : shown_(std::move(shown)), hash_(hash), size_(size), any_length_(any_length) {}
  ~ObjectDecoder() {
    if (inflating_) inflateEnd(&z_);
  }
  ObjectDecoder(const ObjectDecoder&) = delete;
  ObjectDecoder& operator=(const ObjectDecoder&) = delete;

  Status Feed(std::string_view piece, const Sink& sink) {
    if (piece.empty()) return Status::OK();
    if (form_ == 0) {
      form_ = piece[0];
      piece.remove_prefix(1);
      object_bytes_ = 1;
      if (form_ == kZlibForm) {
        out_.reset(new (std::nothrow) char[kPiece]);
        if (out_ == nullptr || inflateInit(&z_) != Z_OK) return Status::IOError("out of memory");
        inflating_ = true;
      } else if (form_ != kRawForm) {
        return Refuse("starts with neither 'z' nor 'r'");
      }
    }
    object_bytes_ += piece.size();
    if (form_ == kRawForm) {
      if (piece.size() > size_ - produced_) return Refuse("holds more than its size");
      produced_ += piece.size();
      hasher_.Update(piece);
      return piece.empty() ? Status::OK() : sink(piece);
    }
    if (!any_length_ && object_bytes_ > size_) {
      return Refuse("is a zlib object no shorter than its content");
    }
    return Inflate(piece, sink);
  }

  // After the last piece: the object must have ended exactly at its end.
  Status Finish() {
    if (form_ == 0) return Refuse("is empty");
    if (form_ == kZlibForm && !ended_) return Refuse("has a zlib stream cut short");
    if (produced_ != size_) {
      return Refuse("holds " + std::to_string(produced_) + " bytes, not " +
                    std::to_string(size_));
    }
    if (hasher_.Final() != hash_) return Refuse("does not match its hash");
    return Status::OK();
  }

 private:
  Status Refuse(const std::string& why) const { return Status::Corruption(shown_ + " " + why); }

  Status Inflate(std::string_view piece, const Sink& sink) {
    if (ended_) return Refuse("has bytes after its zlib stream");
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z_.avail_in = static_cast<uInt>(piece.size());
    for (;;) {
      // One byte of room past the size, to see a stream that goes on.
      const uint64_t left = size_ - produced_;
      const uint64_t room = left >= kPiece ? kPiece : left + 1;
      z_.next_out = reinterpret_cast<Bytef*>(out_.get());
      z_.avail_out = static_cast<uInt>(room);
      const int r = inflate(&z_, Z_NO_FLUSH);
      const size_t got = static_cast<size_t>(room - z_.avail_out);
      if (got > size_ - produced_) return Refuse("inflates past its size");
      if (got > 0) {
        produced_ += got;
        hasher_.Update(out_.get(), got);
        const Status s = sink(std::string_view(out_.get(), got));
        if (!s.ok()) return s;
      }
      if (r == Z_STREAM_END) {
        ended_ = true;
        if (z_.avail_in > 0) return Refuse("has bytes after its zlib stream");
        return Status::OK();
      }
      if (r == Z_BUF_ERROR || (r == Z_OK && z_.avail_in == 0 && z_.avail_out > 0)) {
        return Status::OK();  // wants more of the object
      }
      if (r != Z_OK) return Refuse("is not a valid zlib stream");
    }
  }

  const std::string shown_;
  const ContentHash hash_;
  const uint64_t size_;
  const bool any_length_;
  char form_ = 0;  // none seen yet
  uint64_t object_bytes_ = 0;
  uint64_t produced_ = 0;
  bool ended_ = false;
  bool inflating_ = false;
  z_stream z_ = {};
  std::unique_ptr<char[]> out_;
  ContentHasher hasher_;
};

std::string Shown(const std::string& object_path) { return "store object " + object_path; }

Status NotNamedFor(const std::string& object_path) {
  return Status::Corruption(Shown(object_path) +
                            ": the content given is not the size and hash it is named for");
}

// Streams the object at `object_path` through a decoder into `sink`.
// `opened`, when not null, is the object already open.
// Hands `file` to `consume` front to back in pieces of kPiece bytes, in a
// buffer that running out of memory turns into a status, not a throw.
Status ReadInPieces(ReadableFile* file,
                    const std::function<Status(std::string_view piece)>& consume) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kPiece]);
  if (buffer == nullptr) return Status::IOError("out of memory");
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    Status s = file->Read(offset, kPiece, buffer.get(), &got);
    if (!s.ok()) return s;
    if (got == 0) return Status::OK();
    offset += got;
    s = consume(std::string_view(buffer.get(), got));
    if (!s.ok()) return s;
  }
}

Status DecodeObjectFile(Env* env, const std::string& object_path,
                        std::unique_ptr<ReadableFile> opened, const ContentHash& hash,
                        uint64_t size, bool any_length, const Sink& sink) {
  std::unique_ptr<ReadableFile> file = std::move(opened);
  Status s;
  if (file == nullptr) {
    s = env->NewReadableFile(object_path, &file);
    if (!s.ok()) return s;
  }
  ObjectDecoder decoder(Shown(object_path), hash, size, any_length);
  s = ReadInPieces(file.get(),
                   [&](std::string_view piece) { return decoder.Feed(piece, sink); });
  if (!s.ok()) return s;
  return decoder.Finish();
}

}  // namespace

std::string StoreObjectName(const ContentHash& hash) {
  const std::string hex = ContentHashHex(hash);
  return std::string(kStoreDirName) + '\\' + HashDirectory(hex) + '\\' + hex;
}

std::string StoreObjectUrlPath(const ContentHash& hash) {
  const std::string hex = ContentHashHex(hash);
  return std::string(kStoreDirName) + '/' + HashDirectory(hex) + '/' + hex;
}

std::string EncodeStoreObject(std::string_view content) {
  const auto raw = [content] {
    std::string object;
    object.reserve(content.size() + 1);
    object += kRawForm;
    object += content;
    return object;
  };
  Deflater deflater;
  if (content.empty() || !deflater.ready()) return raw();
  // The zlib form is kept only when shorter than the content, so it gets
  // no more room than that: incompressible content stops the stream early.
  std::string object(content.size(), '\0');
  object[0] = kZlibForm;
  z_stream* z = deflater.stream();
  z->next_out = reinterpret_cast<Bytef*>(object.data() + 1);
  z->avail_out = 0;
  size_t out_left = content.size() - 1;
  size_t in_left = content.size();
  const char* in = content.data();
  for (;;) {
    // zlib counts in 32 bits; larger contents go in and out in slices.
    if (z->avail_in == 0 && in_left > 0) {
      const size_t n = std::min<size_t>(in_left, std::numeric_limits<uInt>::max());
      z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
      z->avail_in = static_cast<uInt>(n);
      in += n;
      in_left -= n;
    }
    if (z->avail_out == 0) {
      if (out_left == 0) return raw();
      const size_t n = std::min<size_t>(out_left, std::numeric_limits<uInt>::max());
      z->avail_out = static_cast<uInt>(n);
      out_left -= n;
    }
    const int r = deflate(z, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (r == Z_STREAM_END) break;
    if (r != Z_OK && r != Z_BUF_ERROR) return raw();
  }
  object.resize(object.size() - out_left - z->avail_out);
  return object;
}

Status DecodeStoreObject(std::string_view object, const ContentHash& expected_hash,
                         uint64_t expected_size, std::string* content) {
  content->clear();
  ObjectDecoder decoder("store object", expected_hash, expected_size);
  std::string out;
  Status s = decoder.Feed(object, [&out](std::string_view piece) {
    out.append(piece);
    return Status::OK();
  });
  if (s.ok()) s = decoder.Finish();
  if (s.ok()) *content = std::move(out);
  return s;
}

struct StoreObjectWriter::State {
  Env* env = nullptr;
  std::string object_path;
  std::string temp_path;
  std::unique_ptr<WritableFile> file;
  Deflater deflater;
  ContentHasher hasher;
  uint64_t size = 0;
  uint64_t stored = 0;  // zlib bytes written, prefix included
  bool finished = false;
  Status status;
  std::unique_ptr<char[]> out;

  Status Open() {
    if (file != nullptr || !status.ok()) return status;
    if (!deflater.ready()) return status = Status::IOError("out of memory");
    out.reset(new (std::nothrow) char[kPiece]);
    if (out == nullptr) return status = Status::IOError("out of memory");
    const size_t separator = LastSeparator(object_path);
    if (separator != std::string::npos && separator > 0) {
      status = env->CreateDirectories(object_path.substr(0, separator));
      if (!status.ok()) return status;
    }
    status = env->NewWritableFile(temp_path, &file);
    if (!status.ok()) return status;
    file->WillSync();
    stored = 1;
    return status = file->Append(std::string_view(&kZlibForm, 1));
  }

  // Deflates what the stream holds, `flush` as zlib means it, and appends
  // the output.
  Status Pump(int flush) {
    z_stream* z = deflater.stream();
    for (;;) {
      z->next_out = reinterpret_cast<Bytef*>(out.get());
      z->avail_out = static_cast<uInt>(kPiece);
      const int r = deflate(z, flush);
      const size_t got = kPiece - z->avail_out;
      if (got > 0) {
        stored += got;
        status = file->Append(std::string_view(out.get(), got));
        if (!status.ok()) return status;
      }
      if (r == Z_STREAM_END) return Status::OK();
      // Output room left over: all input taken, or (finishing) no progress.
      if (z->avail_out > 0 && flush != Z_FINISH && z->avail_in == 0) return Status::OK();
      if ((r != Z_OK && r != Z_BUF_ERROR) || (r == Z_BUF_ERROR && z->avail_out > 0)) {
        return status = Status::IOError("zlib cannot compress");
      }
    }
  }

  // Writes the raw form beside the zlib one, by inflating that; leaves the
  // raw form at `raw_path`, synced and closed.
  Status WriteRaw(const ContentHash& hash, const std::string& raw_path) {
    std::unique_ptr<WritableFile> raw;
    Status s = env->NewWritableFile(raw_path, &raw);
    if (!s.ok()) return s;
    raw->WillSync();
    s = raw->Append(std::string_view(&kRawForm, 1));
    if (s.ok()) {
      s = DecodeObjectFile(env, temp_path, nullptr, hash, size, /*any_length=*/true,
                           [&raw](std::string_view piece) { return raw->Append(piece); });
    }
    if (s.ok()) s = raw->Sync();
    if (s.ok()) s = raw->Close();
    return s;
  }

  void Abandon() {
    file.reset();
    env->DeleteFile(temp_path);
    env->DeleteFile(object_path + std::string(kRawTempMark) + std::string(kTempSuffix));
  }
};

StoreObjectWriter::StoreObjectWriter(Env* env, std::string object_path) : state_(new State) {
  state_->env = env;
  state_->object_path = std::move(object_path);
  state_->temp_path = state_->object_path + std::string(kTempSuffix);
}

StoreObjectWriter::~StoreObjectWriter() {
  if (!state_->finished && (state_->file != nullptr || !state_->status.ok())) state_->Abandon();
}

Status StoreObjectWriter::Append(std::string_view content) {
  State& st = *state_;
  if (st.finished) return Status::InvalidArgument("the object is finished");
  Status s = st.Open();
  if (!s.ok()) return s;
  st.hasher.Update(content);
  st.size += content.size();
  z_stream* z = st.deflater.stream();
  while (!content.empty()) {
    const size_t n = std::min<size_t>(content.size(), std::numeric_limits<uInt>::max());
    z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    z->avail_in = static_cast<uInt>(n);
    content.remove_prefix(n);
    s = st.Pump(Z_NO_FLUSH);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status StoreObjectWriter::Finish(const ContentHash& hash, uint64_t size) {
  State& st = *state_;
  if (st.finished) return Status::InvalidArgument("the object is finished");
  Status s = st.Open();
  if (s.ok()) {
    st.deflater.stream()->avail_in = 0;
    s = st.Pump(Z_FINISH);
  }
  if (s.ok() && (st.size != size || st.hasher.Final() != hash)) {
    s = NotNamedFor(st.object_path);
  }
  if (s.ok()) s = st.file->Sync();
  if (s.ok()) s = st.file->Close();
  // As long as the content or longer, the zlib form gives way to the raw.
  const bool raw = st.stored > st.size;
  if (s.ok() && raw) {
    const std::string raw_path =
        st.object_path + std::string(kRawTempMark) + std::string(kTempSuffix);
    s = st.WriteRaw(hash, raw_path);
    if (s.ok()) s = st.env->RenameFile(raw_path, st.object_path);
  } else if (s.ok()) {
    s = st.env->RenameFile(st.temp_path, st.object_path);
  }
  st.finished = true;
  if (!s.ok()) {
    st.status = s;
    st.Abandon();
    return s;
  }
  st.file.reset();
  if (raw) st.env->DeleteFile(st.temp_path);  // what the raw form was made from
  SyncParent(st.env, st.object_path);
  return Status::OK();
}

Status WriteStoreObject(Env* env, const std::string& source_path, const std::string& object_path,
                        const ContentHash& hash, uint64_t size) {
  std::unique_ptr<ReadableFile> source;
  Status s = env->NewReadableFile(source_path, &source);
  if (!s.ok()) return s;
  StoreObjectWriter writer(env, object_path);
  uint64_t offset = 0;
  s = ReadInPieces(source.get(), [&](std::string_view piece) {
    offset += piece.size();
    // Reading on through a file that grew since it was hashed would only
    // cost time.
    if (offset > size) return NotNamedFor(object_path);
    return writer.Append(piece);
  });
  if (!s.ok()) return s;
  return writer.Finish(hash, size);
}

Status DecodeStoreObjectToFile(Env* env, const std::string& object_path, const ContentHash& hash,
                               uint64_t size, const std::string& target_path) {
  std::unique_ptr<ReadableFile> object;
  Status s = env->NewReadableFile(object_path, &object);
  if (!s.ok()) return s;
  const std::string temp = target_path + std::string(kTempSuffix);
  std::unique_ptr<WritableFile> file;
  s = env->NewWritableFile(temp, &file);
  if (!s.ok()) return s;
  file->WillSync();
  s = DecodeObjectFile(env, object_path, std::move(object), hash, size, /*any_length=*/false,
                       [&file](std::string_view piece) { return file->Append(piece); });
  if (s.ok()) s = file->Sync();
  if (s.ok()) s = file->Close();
  file.reset();
  if (s.ok()) s = env->RenameFile(temp, target_path);
  if (!s.ok()) {
    env->DeleteFile(temp);
    return s;
  }
  SyncParent(env, target_path);
  return Status::OK();
}

Status DecodeStoreObjectToSink(Env* env, const std::string& object_path, const ContentHash& hash,
                               uint64_t size,
                               const std::function<Status(std::string_view piece)>& sink) {
  return DecodeObjectFile(env, object_path, nullptr, hash, size, /*any_length=*/false, sink);
}

Status CheckStoreObject(Env* env, const std::string& object_path, const ContentHash& hash,
                        uint64_t size) {
  return DecodeObjectFile(env, object_path, nullptr, hash, size, /*any_length=*/false,
                          [](std::string_view) { return Status::OK(); });
}

}  // namespace dizedir
