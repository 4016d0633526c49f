#include "tools/publish/list_printer.h"

namespace dizedir::publish {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsPlain(unsigned char c) { return c > 0x20 && c < 0x7F && c != '"'; }

// Plain tokens stand as they are; anything with spaces, quotes or
// non-printable bytes is quoted, so each field stays one token.
std::string TextValue(std::string_view value) {
  bool plain = !value.empty();
  for (unsigned char c : value) plain = plain && IsPlain(c) && c != '\\';
  return plain ? std::string(value) : JsonString(value);
}

void AppendField(std::string* out, std::string_view name,
                 std::string_view value) {
  if (!out->empty()) *out += ' ';
  *out += name;
  *out += '=';
  *out += value;
}

std::string BaseText(const VersionRecord& r) {
  std::string out;
  AppendField(&out, "number", std::to_string(r.number));
  AppendField(&out, "state", std::to_string(r.state));
  AppendField(&out, "stamp", TextValue(r.stamp));
  AppendField(&out, "guid", TextValue(r.guid));
  return out;
}

JsonDocument BaseJson(const VersionRecord& r) {
  return {{"number", r.number},
          {"state", r.state},
          {"stamp", BytesAsText(r.stamp)},
          {"guid", BytesAsText(r.guid)}};
}

JsonDocument PartsJson(const PatchRecord& r, bool with_digests) {
  JsonDocument parts = JsonDocument::array();
  for (const PartEntry& part : r.parts) {
    if (with_digests) {
      parts.push_back({{"name", BytesAsText(part.name)}, {"digest", BytesAsText(part.digest)}});
    } else {
      parts.push_back(BytesAsText(part.name));
    }
  }
  return parts;
}

}  // namespace

std::optional<ListKind> ParseListKind(std::string_view text) {
  struct Name {
    std::string_view name;
    ListKind kind;
  };
  static constexpr Name kNames[] = {{"curver", ListKind::kInstalled},
                                    {"newver", ListKind::kPublished},
                                    {"verlist", ListKind::kPatches}};
  for (const Name& n : kNames) {
    if (EqualsIgnoringCase(text, n.name) ||
        EqualsIgnoringCase(text, std::string(n.name) + ".bin")) {
      return n.kind;
    }
  }
  return std::nullopt;
}

std::optional<ListKind> ListKindFromPath(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  // Only the exact file names: "curver" alone is no list file.
  if (name.size() < 4 || !EqualsIgnoringCase(name.substr(name.size() - 4),
                                             ".bin")) {
    return std::nullopt;
  }
  return ParseListKind(name);
}

std::string_view ListKindName(ListKind kind) {
  switch (kind) {
    case ListKind::kInstalled:
      return "curver.bin";
    case ListKind::kPublished:
      return "newver.bin";
    case ListKind::kPatches:
      return "verlist.bin";
  }
  return "";
}

std::string RecordText(const VersionRecord& record) {
  return BaseText(record);
}

std::string RecordText(const PatchRecord& record) {
  std::string out = BaseText(record);
  AppendField(&out, "archive", TextValue(record.archive));
  AppendField(&out, "parts", std::to_string(record.parts.size()));
  for (size_t i = 0; i < record.parts.size(); ++i) {
    AppendField(&out, "part" + std::to_string(i),
                TextValue(record.parts[i].name) + ":" +
                    TextValue(record.parts[i].digest));
  }
  return out;
}

std::string RecordText(const LocalVersionRecord& record) {
  std::string out = BaseText(record);
  if (record.state <= 1) return out;
  AppendField(&out, "partCount", std::to_string(record.partCount));
  AppendField(&out, "archive", TextValue(record.archive));
  std::string names;
  for (const PartEntry& part : record.parts) {
    if (!names.empty()) names += ',';
    names += TextValue(part.name);
  }
  AppendField(&out, "parts", names.empty() ? "-" : names);
  return out;
}

JsonDocument RecordJson(const VersionRecord& record) {
  return BaseJson(record);
}

JsonDocument RecordJson(const PatchRecord& record) {
  JsonDocument out = BaseJson(record);
  out["archive"] = BytesAsText(record.archive);
  out["parts"] = PartsJson(record, true);
  return out;
}

JsonDocument RecordJson(const LocalVersionRecord& record) {
  JsonDocument out = BaseJson(record);
  out["partCount"] = record.partCount;
  out["archive"] = BytesAsText(record.archive);
  out["parts"] = PartsJson(record, false);
  return out;
}

std::string JsonString(std::string_view bytes) {
  return AsciiJsonLine(BytesAsText(bytes));
}

}  // namespace dizedir::publish
