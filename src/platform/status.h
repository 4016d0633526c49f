// Status: the result of an operation that can fail, carrying a short message
// for the status line or a log. Used at every boundary instead of exceptions.
//
// Thread-safety: a Status is a value; distinct objects may be used from
// distinct threads freely.

#ifndef DIZEDIR_PLATFORM_STATUS_H_
#define DIZEDIR_PLATFORM_STATUS_H_

#include <string>
#include <string_view>
#include <utility>

namespace dizedir {

class Status {
 public:
  enum class Code {
    kOk = 0,
    kNotFound,
    kCorruption,
    kInvalidArgument,
    kIOError,
    kNoSpace,
    kBusy,
    kAborted,
  };

  Status() = default;

  static Status OK() { return Status(); }
  static Status NotFound(std::string_view msg) { return Status(Code::kNotFound, msg); }
  static Status Corruption(std::string_view msg) { return Status(Code::kCorruption, msg); }
  static Status InvalidArgument(std::string_view msg) {
    return Status(Code::kInvalidArgument, msg);
  }
  static Status IOError(std::string_view msg) { return Status(Code::kIOError, msg); }
  static Status NoSpace(std::string_view msg) { return Status(Code::kNoSpace, msg); }
  static Status Busy(std::string_view msg) { return Status(Code::kBusy, msg); }
  static Status Aborted(std::string_view msg) { return Status(Code::kAborted, msg); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsCorruption() const { return code_ == Code::kCorruption; }
  bool IsNoSpace() const { return code_ == Code::kNoSpace; }
  bool IsBusy() const { return code_ == Code::kBusy; }
  bool IsAborted() const { return code_ == Code::kAborted; }

  const std::string& message() const { return message_; }

  // "OK", or the code's name, a colon and the message.
  std::string ToString() const;

 private:
  Status(Code code, std::string_view msg) : code_(code), message_(msg) {}

  Code code_ = Code::kOk;
  std::string message_;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_STATUS_H_
