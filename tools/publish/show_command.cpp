#include "tools/publish/show_command.h"

#include <vector>

#include "lists/list_text.h"
#include "lists/version_lists.h"

namespace dizedir::publish {
namespace {

template <typename Record, typename Decoder>
int Show(std::string_view data, Decoder decode, const ShowOptions& options,
         ListKind kind, std::ostream& out, std::ostream& err) {
  std::vector<Record> records;
  size_t failed_line = 0;
  const bool ok = decode(data, &records, &failed_line);
  // What decoded is shown even when a later line is bad: it tells the
  // operator where the damage starts.
  if (options.json) {
    JsonDocument list = JsonDocument::array();
    for (const Record& record : records) list.push_back(RecordJson(record));
    out << JsonArrayLines(list);
  } else {
    for (const Record& record : records) out << RecordText(record) << '\n';
  }
  if (!ok) {
    err << "dizedir-publish: " << options.path << ": line " << failed_line
        << " is not a valid " << ListKindName(kind) << " record\n";
    return 1;
  }
  return 0;
}

}  // namespace

int RunShow(Env* env, const ShowOptions& options, std::ostream& out,
            std::ostream& err) {
  const std::optional<ListKind> kind =
      options.kind ? options.kind : ListKindFromPath(options.path);
  if (!kind) {
    err << "dizedir-publish: " << options.path
        << ": cannot tell which list this is; name it curver.bin, newver.bin"
           " or verlist.bin, or pass --kind\n";
    return 1;
  }
  std::string data;
  const Status s = ReadFileToString(env, options.path, &data, kMaxListFileBytes);
  if (!s.ok()) {
    err << "dizedir-publish: " << options.path << ": cannot read: "
        << s.ToString() << '\n';
    return 1;
  }
  switch (*kind) {
    case ListKind::kInstalled:
      return Show<LocalVersionRecord>(
          data,
          [](std::string_view d, auto* r, size_t* f) {
            return DecodeLocalVersions(d, r, f);
          },
          options, *kind, out, err);
    case ListKind::kPublished:
      return Show<VersionRecord>(
          data,
          [](std::string_view d, auto* r, size_t* f) {
            return DecodeRemoteVersions(d, r, f);
          },
          options, *kind, out, err);
    case ListKind::kPatches:
      return Show<PatchRecord>(
          data,
          [](std::string_view d, auto* r, size_t* f) {
            return DecodePatches(d, r, f);
          },
          options, *kind, out, err);
  }
  return 1;
}

}  // namespace dizedir::publish
