// fuzz_control_lists: any bytes as del.txt and as Move.txt. Whatever the
// readers return holds only words of the input (no white space, no NUL), and
// writing it out again in the list grammar reads back to the same lists; a
// name called inside the client never starts at a root or climbs with "..".
// A name's canonical form is its own canonical form, and has no ".." when the
// name stays inside.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/control_lists.h"

namespace {

bool IsWord(std::string_view word) {
  return word.find_first_of(std::string_view(" \t\n\v\f\r\0", 7)) ==
         std::string_view::npos;
}

void CheckName(std::string_view name) {
  if (!IsWord(name)) std::abort();
  const std::string canonical = dizedir::CanonicalPackName(name);
  if (dizedir::CanonicalPackName(canonical) != canonical) std::abort();
  if (dizedir::NameStaysInside(name) &&
      (canonical == ".." || canonical.rfind("..\\", 0) == 0)) {
    std::abort();
  }
  if (!dizedir::NameStaysInside(name)) return;
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) std::abort();
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (name.substr(start, i - start) == "..") std::abort();
      start = i + 1;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const DeleteList list = ParseDeleteList(text);
  size_t bytes = 0;
  std::string again;
  for (const auto& [pack, ids] : list.packs) {
    CheckName(pack);
    if (ids.empty()) std::abort();
    bytes += pack.size();
    again += "Packet:" + pack;
    for (uint32_t id : ids) again += " " + std::to_string(id);
    again += "\n";
  }
  again += "end\n";
  for (const std::string& file : list.files) {
    CheckName(file);
    bytes += file.size();
    // A word cut to nothing at a NUL can only be written as that NUL.
    again += (file.empty() ? std::string(1, '\0') : file) + "\n";
  }
  if (bytes > size) std::abort();
  const DeleteList reread = ParseDeleteList(again);
  if (reread.packs != list.packs || reread.files != list.files) std::abort();

  const auto moves = ParseMoveList(text);
  std::string moves_again;
  for (const auto& [id, packs] : moves) {
    CheckName(packs.first);
    CheckName(packs.second);
    moves_again += std::to_string(id) + " From:" + packs.first + " To:" +
                   packs.second + "\r\n";
  }
  if (ParseMoveList(moves_again) != moves) std::abort();
  return 0;
}
