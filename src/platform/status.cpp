#include "platform/status.h"

namespace dizedir {

std::string Status::ToString() const {
  const char* name = "OK";
  switch (code_) {
    case Code::kOk:
      return "OK";
    case Code::kNotFound:
      name = "NotFound";
      break;
    case Code::kCorruption:
      name = "Corruption";
      break;
    case Code::kInvalidArgument:
      name = "InvalidArgument";
      break;
    case Code::kIOError:
      name = "IOError";
      break;
    case Code::kNoSpace:
      name = "NoSpace";
      break;
    case Code::kBusy:
      name = "Busy";
      break;
    case Code::kAborted:
      name = "Aborted";
      break;
  }
  std::string out(name);
  out += ": ";
  out += message_;
  return out;
}

}  // namespace dizedir
