#include "plugin/pe_resources.h"

#include <algorithm>
#include <array>
#include <vector>

namespace dizedir {

namespace {

constexpr uint32_t kStringResourceType = 6;  // RT_STRING
constexpr uint32_t kStringsPerBlock = 16;
// String IDs are 16-bit, so blocks are numbered (id / 16) + 1 = 1 ... 4096.
constexpr uint32_t kMaxStringId = 0xffff;
// The Windows loader refuses images with more sections than this.
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNamedEntryFlag = 0x80000000u;
constexpr uint32_t kResourceDirectoryIndex = 2;

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;

// Little-endian reads that fail instead of leaving `bytes`. Offsets are 64
// bit so that offset + length never wraps for 32-bit inputs.
class ByteView {
 public:
  explicit ByteView(std::string_view bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  bool U16(uint64_t offset, uint16_t* value) const {
    if (!Contains(offset, 2)) return false;
    *value = static_cast<uint16_t>(Byte(offset) | Byte(offset + 1) << 8);
    return true;
  }
  bool U32(uint64_t offset, uint32_t* value) const {
    if (!Contains(offset, 4)) return false;
    *value = Byte(offset) | Byte(offset + 1) << 8 | Byte(offset + 2) << 16 |
             static_cast<uint32_t>(Byte(offset + 3)) << 24;
    return true;
  }
  // Only valid after Contains(offset, length).
  std::string_view Slice(uint64_t offset, uint64_t length) const {
    return bytes_.substr(static_cast<size_t>(offset),
                         static_cast<size_t>(length));
  }

 private:
  uint32_t Byte(uint64_t offset) const {
    return static_cast<uint8_t>(bytes_[static_cast<size_t>(offset)]);
  }

  std::string_view bytes_;
};

Status Malformed(std::string_view what) {
  return Status::Corruption(std::string("string library: ") +
                            std::string(what));
}

struct Section {
  uint32_t virtual_address = 0;
  // Bytes of the section that the file really holds (raw data, cut to the
  // virtual size when one is given).
  uint32_t extent = 0;
  uint32_t raw_offset = 0;
};

// The parts of a PE image the string lookup needs, all checked on creation.
class Image {
 public:
  explicit Image(std::string_view file) : file_(file) {}

  Status Parse();

  bool has_resources() const { return has_resources_; }
  const ByteView& resources() const { return resources_; }

  // The file bytes of [rva, rva + size), which must lie in one section.
  Status Map(uint32_t rva, uint32_t size, std::string_view* bytes) const;

 private:
  ByteView file_;
  std::vector<Section> sections_;
  bool has_resources_ = false;
  ByteView resources_{std::string_view()};
};

Status Image::Parse() {
  uint16_t mz = 0;
  uint32_t pe_offset = 0;
  if (!file_.U16(0, &mz) || mz != 0x5a4d) return Malformed("no MZ header");
  if (!file_.U32(0x3c, &pe_offset)) return Malformed("truncated MZ header");
  uint32_t signature = 0;
  if (!file_.U32(pe_offset, &signature) || signature != 0x00004550) {
    return Malformed("no PE signature");
  }
  const uint64_t coff = uint64_t{pe_offset} + 4;
  uint16_t section_count = 0;
  uint16_t optional_size = 0;
  if (!file_.U16(coff + 2, &section_count) ||
      !file_.U16(coff + 16, &optional_size)) {
    return Malformed("truncated COFF header");
  }
  const uint64_t optional = coff + 20;
  if (!file_.Contains(optional, optional_size)) {
    return Malformed("truncated optional header");
  }
  uint16_t magic = 0;
  if (optional_size < 2 || !file_.U16(optional, &magic)) {
    return Malformed("optional header too small");
  }
  uint64_t count_offset = 0;
  if (magic == kPe32Magic) {
    count_offset = 92;
  } else if (magic == kPe32PlusMagic) {
    count_offset = 108;
  } else {
    return Malformed("unknown optional header kind");
  }
  uint32_t directory_count = 0;
  if (count_offset + 4 > optional_size ||
      !file_.U32(optional + count_offset, &directory_count)) {
    return Malformed("optional header too small");
  }

  if (section_count > kMaxSections) return Malformed("too many sections");
  const uint64_t table = optional + optional_size;
  if (!file_.Contains(table, uint64_t{section_count} * 40)) {
    return Malformed("truncated section table");
  }
  sections_.reserve(section_count);
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t header = table + uint64_t{i} * 40;
    uint32_t virtual_size = 0;
    Section section;
    uint32_t raw_size = 0;
    file_.U32(header + 8, &virtual_size);
    file_.U32(header + 12, &section.virtual_address);
    file_.U32(header + 16, &raw_size);
    file_.U32(header + 20, &section.raw_offset);
    if (!file_.Contains(section.raw_offset, raw_size)) {
      return Malformed("section data past the end of the file");
    }
    section.extent = (virtual_size != 0 && virtual_size < raw_size)
                         ? virtual_size
                         : raw_size;
    sections_.push_back(section);
  }

  // A file with fewer directories simply has no resources.
  if (directory_count <= kResourceDirectoryIndex) return Status::OK();
  const uint64_t entry = optional + count_offset + 4 + kResourceDirectoryIndex * 8;
  if (entry + 8 > optional + optional_size) {
    return Malformed("data directories past the optional header");
  }
  uint32_t rva = 0;
  uint32_t size = 0;
  file_.U32(entry, &rva);
  file_.U32(entry + 4, &size);
  if (rva == 0 && size == 0) return Status::OK();
  std::string_view bytes;
  Status s = Map(rva, size, &bytes);
  if (!s.ok()) return s;
  resources_ = ByteView(bytes);
  has_resources_ = true;
  return Status::OK();
}

Status Image::Map(uint32_t rva, uint32_t size,
                  std::string_view* bytes) const {
  for (const Section& section : sections_) {
    if (rva < section.virtual_address) continue;
    const uint64_t start = uint64_t{rva} - section.virtual_address;
    if (start >= section.extent) continue;
    if (size > section.extent - start) {
      return Malformed("resource data runs past its section");
    }
    // Parse() checked the raw data against the file.
    *bytes = file_.Slice(section.raw_offset + start, size);
    return Status::OK();
  }
  return Malformed("resource address outside every section");
}

// One table of the resource directory tree.
class Directory {
 public:
  static Status Open(const ByteView& tree, uint32_t offset, Directory* dir) {
    uint16_t named = 0;
    uint16_t ids = 0;
    if (!tree.U16(uint64_t{offset} + 12, &named) ||
        !tree.U16(uint64_t{offset} + 14, &ids)) {
      return Malformed("resource directory past its end");
    }
    const uint32_t count = uint32_t{named} + ids;
    if (!tree.Contains(uint64_t{offset} + 16, uint64_t{count} * 8)) {
      return Malformed("resource entries past their end");
    }
    dir->tree_ = &tree;
    dir->entries_ = uint64_t{offset} + 16;
    dir->count_ = count;
    return Status::OK();
  }

  uint32_t count() const { return count_; }
  uint32_t Name(uint32_t i) const { return Field(i, 0); }
  uint32_t Target(uint32_t i) const { return Field(i, 4); }

  // Index of the first entry named by numeric ID `id`, or count().
  uint32_t FindId(uint32_t id) const {
    for (uint32_t i = 0; i < count_; ++i) {
      if ((Name(i) & kNamedEntryFlag) == 0 && Name(i) == id) return i;
    }
    return count_;
  }

 private:
  uint32_t Field(uint32_t i, uint32_t at) const {
    uint32_t value = 0;
    tree_->U32(entries_ + uint64_t{i} * 8 + at, &value);  // checked in Open
    return value;
  }

  const ByteView* tree_ = nullptr;
  uint64_t entries_ = 0;
  uint32_t count_ = 0;
};

Status OpenSubdirectory(const ByteView& tree, uint32_t target,
                        Directory* dir) {
  if ((target & kSubdirectoryFlag) == 0) {
    return Malformed("resource directory entry is not a directory");
  }
  return Directory::Open(tree, target & ~kSubdirectoryFlag, dir);
}

// The 16 strings of one block as raw UTF-16LE bytes (empty = no string).
using BlockStrings = std::array<std::string_view, kStringsPerBlock>;

// `names` is the directory of one block's languages; the first language
// wins, as with the Windows lookup for a neutral thread locale.
Status ReadBlock(const Image& image, const Directory& languages,
                 BlockStrings* strings) {
  if (languages.count() == 0) return Malformed("string block without data");
  const uint32_t target = languages.Target(0);
  if ((target & kSubdirectoryFlag) != 0) {
    return Malformed("string block nested too deep");
  }
  const ByteView& tree = image.resources();
  uint32_t data_rva = 0;
  uint32_t data_size = 0;
  if (!tree.U32(target, &data_rva) ||
      !tree.U32(uint64_t{target} + 4, &data_size) ||
      !tree.Contains(target, 16)) {
    return Malformed("resource data entry past its end");
  }
  std::string_view data;
  Status s = image.Map(data_rva, data_size, &data);
  if (!s.ok()) return s;
  const ByteView block(data);
  uint64_t position = 0;
  for (std::string_view& text : *strings) {
    uint16_t units = 0;
    if (!block.U16(position, &units)) return Malformed("string block too short");
    position += 2;
    if (!block.Contains(position, uint64_t{units} * 2)) {
      return Malformed("string runs past its block");
    }
    text = block.Slice(position, uint64_t{units} * 2);
    position += uint64_t{units} * 2;
  }
  return Status::OK();
}

std::u16string DecodeUtf16Le(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                    static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  }
  return text;
}

// Opens the RT_STRING type directory; *present is false when the file has no
// string resources at all.
Status OpenStringDirectory(const Image& image, Directory* types,
                           bool* present) {
  *present = false;
  if (!image.has_resources()) return Status::OK();
  Directory root;
  Status s = Directory::Open(image.resources(), 0, &root);
  if (!s.ok()) return s;
  const uint32_t index = root.FindId(kStringResourceType);
  if (index == root.count()) return Status::OK();
  s = OpenSubdirectory(image.resources(), root.Target(index), types);
  *present = s.ok();
  return s;
}

}  // namespace

Status FindString(std::string_view file, uint32_t id, std::u16string* text) {
  text->clear();
  Image image(file);
  Status s = image.Parse();
  if (!s.ok()) return s;
  Directory blocks;
  bool present = false;
  s = OpenStringDirectory(image, &blocks, &present);
  if (!s.ok()) return s;
  if (!present || id > kMaxStringId) return Status::NotFound("no such string");
  const uint32_t index = blocks.FindId(id / kStringsPerBlock + 1);
  if (index == blocks.count()) return Status::NotFound("no such string");
  Directory languages;
  s = OpenSubdirectory(image.resources(), blocks.Target(index), &languages);
  BlockStrings strings;
  if (s.ok()) s = ReadBlock(image, languages, &strings);
  if (!s.ok()) return s;
  const std::string_view bytes = strings[id % kStringsPerBlock];
  if (bytes.empty()) return Status::NotFound("no such string");
  *text = DecodeUtf16Le(bytes);
  return Status::OK();
}

Status ForEachString(
    std::string_view file, size_t max_units,
    const std::function<void(uint32_t id, std::u16string_view text)>& visit) {
  Image image(file);
  Status s = image.Parse();
  if (!s.ok()) return s;
  Directory blocks;
  bool present = false;
  s = OpenStringDirectory(image, &blocks, &present);
  if (!s.ok() || !present) return s;

  struct Found {
    uint32_t id;
    std::string_view bytes;
  };
  std::vector<Found> found;
  uint32_t last_block = 0;
  for (uint32_t i = 0; i < blocks.count(); ++i) {
    const uint32_t block = blocks.Name(i);
    // Named entries and blocks past the 16-bit ID range are out of reach of
    // any lookup by ID; they are skipped, not refused.
    if ((block & kNamedEntryFlag) != 0 || block == 0 ||
        block > kMaxStringId / kStringsPerBlock + 1) {
      continue;
    }
    // Strict order keeps the first match of a lookup the only match.
    if (block <= last_block) return Malformed("string blocks out of order");
    last_block = block;
    Directory languages;
    s = OpenSubdirectory(image.resources(), blocks.Target(i), &languages);
    BlockStrings strings;
    if (s.ok()) s = ReadBlock(image, languages, &strings);
    if (!s.ok()) return s;
    for (uint32_t k = 0; k < kStringsPerBlock; ++k) {
      if (!strings[k].empty()) {
        found.push_back({(block - 1) * kStringsPerBlock + k, strings[k]});
      }
    }
  }
  for (const Found& f : found) {
    const size_t bytes = std::min(f.bytes.size(), max_units * 2);
    visit(f.id, DecodeUtf16Le(f.bytes.substr(0, bytes)));
  }
  return Status::OK();
}

}  // namespace dizedir
