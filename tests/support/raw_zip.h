// RawZip: builds zip archives byte by byte for tests that need what no
// honest tool writes: names that climb out, symbolic-link items, sizes that
// lie, and central-directory entries that share one data stream.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TESTS_SUPPORT_RAW_ZIP_H_
#define DIZEDIR_TESTS_SUPPORT_RAW_ZIP_H_

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_bytes.h"

namespace dizedir {

struct RawZipItem {
  RawZipItem(std::string item_name, std::string item_data)
      : name(std::move(item_name)), data(std::move(item_data)) {}
  // A Unix symbolic link pointing at `target`.
  static RawZipItem Link(std::string link_name, std::string target) {
    RawZipItem item(std::move(link_name), std::move(target));
    item.host = 3;
    item.external_attributes = 0120777u << 16;
    return item;
  }

  std::string name;  // stored exactly as given
  std::string data;  // the item's contents
  bool deflate = false;
  // Version made by: host 0 (FAT) keeps Windows attributes; 3 (Unix) keeps
  // a mode in the upper half of the external attributes.
  uint8_t host = 0;
  uint32_t external_attributes = 0;
  // The extra field, the same in the local header and the central record
  // (an extended-timestamp block, say).
  std::string extra;
  // A lie about the contents' size in both headers.
  std::optional<uint32_t> declared_size;
  // Points this item's central entry at an earlier item's local header
  // and data instead of writing its own (overlapping entries).
  std::optional<size_t> shares_data_of;
};

inline std::string BuildRawZip(const std::vector<RawZipItem>& items) {
  auto put16 = [](std::string* s, uint32_t v) {
    s->push_back(static_cast<char>(v & 0xFF));
    s->push_back(static_cast<char>((v >> 8) & 0xFF));
  };
  auto put32 = [&](std::string* s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
  };
  struct Written {
    uint32_t offset, crc, stored, size;
    uint16_t method;
  };
  std::string out, central;
  std::vector<Written> written;
  for (const RawZipItem& item : items) {
    Written w{};
    if (item.shares_data_of) {
      w = written.at(*item.shares_data_of);
    } else {
      const std::string stored = item.deflate ? RawDeflate(item.data) : item.data;
      w.offset = static_cast<uint32_t>(out.size());
      w.crc = static_cast<uint32_t>(
          crc32(0, reinterpret_cast<const Bytef*>(item.data.data()), item.data.size()));
      w.stored = static_cast<uint32_t>(stored.size());
      w.size = item.declared_size.value_or(static_cast<uint32_t>(item.data.size()));
      w.method = item.deflate ? 8 : 0;
      put32(&out, 0x04034b50);
      put16(&out, 20);
      put16(&out, 0x0800);  // names are UTF-8
      put16(&out, w.method);
      put16(&out, 0);
      put16(&out, 0x5A21);  // 2025-01-01
      put32(&out, w.crc);
      put32(&out, w.stored);
      put32(&out, w.size);
      put16(&out, static_cast<uint32_t>(item.name.size()));
      put16(&out, static_cast<uint32_t>(item.extra.size()));
      out += item.name;
      out += item.extra;
      out += stored;
    }
    written.push_back(w);
    put32(&central, 0x02014b50);
    put16(&central, (uint32_t{item.host} << 8) | 20);
    put16(&central, 20);
    put16(&central, 0x0800);
    put16(&central, w.method);
    put16(&central, 0);
    put16(&central, 0x5A21);
    put32(&central, w.crc);
    put32(&central, w.stored);
    put32(&central, w.size);
    put16(&central, static_cast<uint32_t>(item.name.size()));
    put16(&central, static_cast<uint32_t>(item.extra.size()));
    put16(&central, 0);
    put16(&central, 0);
    put16(&central, 0);
    put32(&central, item.external_attributes);
    put32(&central, w.offset);
    central += item.name;
    central += item.extra;
  }
  const uint32_t central_offset = static_cast<uint32_t>(out.size());
  out += central;
  put32(&out, 0x06054b50);
  put16(&out, 0);
  put16(&out, 0);
  put16(&out, static_cast<uint32_t>(items.size()));
  put16(&out, static_cast<uint32_t>(items.size()));
  put32(&out, static_cast<uint32_t>(central.size()));
  put32(&out, central_offset);
  put16(&out, 0);
  return out;
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_RAW_ZIP_H_
