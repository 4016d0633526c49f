#include "tools/publish/server_list_writer.h"

#include <algorithm>
#include <set>

#include "platform/case_fold.h"
#include "platform/text.h"

namespace dizedir::publish {
namespace {

constexpr size_t kMaxClientText = 259;  // the client's 260-byte buffers

bool IsBadNameChar(unsigned char c) {
  return c <= 0x20 || c == ',' || c == '=' || c == '[' || c == ']' ||
         c == ';' || c == '"' || c == 0x7F;
}

bool HasLineBreakOrControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

std::string Lower(std::string_view s) {
  std::u16string wide = Utf8ToUtf16(s);
  for (char16_t& c : wide) c = FoldCase(c);
  return Utf16ToUtf8(wide);
}

Status CheckRegion(const RegionSpec& r) {
  if (r.name.empty() ||
      std::any_of(r.name.begin(), r.name.end(),
                  [](char c) { return IsBadNameChar(static_cast<unsigned char>(c)); })) {
    return Status::InvalidArgument(
        "region name \"" + r.name +
        "\": a list splits names at spaces and commas, and = [ ] ; \" break "
        "the INI file");
  }
  if (Lower(r.name) == "list") {
    return Status::InvalidArgument("\"list\" is the key that lists the regions");
  }
  if (r.address.empty() || r.address.size() > kMaxClientText ||
      std::any_of(r.address.begin(), r.address.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20; })) {
    return Status::InvalidArgument("region " + r.name +
                                   ": the address must be one word of at most "
                                   "259 bytes");
  }
  if (HasLineBreakOrControl(r.gateway) || HasLineBreakOrControl(r.main)) {
    return Status::InvalidArgument("region " + r.name +
                                   ": control characters in the gateway or main");
  }
  return Status::OK();
}

void AppendLine(std::u16string* out, std::string_view line) {
  *out += Utf8ToUtf16(line);
  *out += u"\r\n";
}

std::string JoinNames(const std::vector<RegionSpec>& group) {
  std::string out;
  for (const RegionSpec& r : group) out += (out.empty() ? "" : ",") + r.name;
  return out;
}

}  // namespace

Status ParseRegionSpec(std::string_view text, RegionSpec* region) {
  *region = RegionSpec();
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    return Status::InvalidArgument("expected NAME=ADDRESS[,GATEWAY[,MAIN]]: " +
                                   std::string(text));
  }
  region->name = std::string(text.substr(0, eq));
  std::string_view rest = text.substr(eq + 1);
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t comma = rest.find(',', start);
    fields.emplace_back(rest.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (fields.size() > 3) {
    return Status::InvalidArgument("too many fields: " + std::string(text));
  }
  region->address = fields[0];
  if (fields.size() > 1) region->gateway = fields[1];
  if (fields.size() > 2) region->main = fields[2];
  const size_t colon = region->gateway.rfind(':');
  if (region->gateway.find(' ') == std::string::npos &&
      colon != std::string::npos) {
    region->gateway[colon] = ' ';
  }
  return CheckRegion(*region);
}

std::string ServerListFileName(int list_number) {
  return list_number >= 1 ? "patchone" + std::to_string(list_number) + ".ini"
                          : "patchone.ini";
}

std::string ServerListIni(const ServerListSpec& layout) {
  std::u16string text = u"\xFEFF";
  const std::vector<RegionSpec>* groups[] = {&layout.first_group,
                                             &layout.second_group};
  for (int g = 0; g < 2; ++g) {
    AppendLine(&text, "[Region" + std::to_string(g + 1) + "]");
    AppendLine(&text, "list=" + JoinNames(*groups[g]));
    for (const RegionSpec& r : *groups[g]) AppendLine(&text, r.name + "=" + r.address);
  }
  AppendLine(&text, "[gateway]");
  for (const auto* group : groups) {
    for (const RegionSpec& r : *group) {
      if (!r.gateway.empty()) AppendLine(&text, r.name + "=" + r.gateway);
    }
  }
  AppendLine(&text, "[MainRegion]");
  for (const auto* group : groups) {
    for (const RegionSpec& r : *group) {
      if (!r.main.empty()) AppendLine(&text, r.name + "=" + r.main);
    }
  }
  AppendLine(&text, "[curregDianXin]");
  AppendLine(&text, "region=" + std::to_string(layout.current));
  AppendLine(&text, "[curregWangTong]");
  AppendLine(&text, "region=" + std::to_string(layout.second_current));
  AppendLine(&text, "[url]");
  AppendLine(&text, "url=" + layout.url);
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string HostFileBytes(std::string_view host) {
  std::string out(host);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) + i + 10);
  }
  return out;
}

std::string SettingsIni(int list_number) {
  return "[SETTING]\r\nSP=" + std::to_string(list_number) + "\r\n";
}

Status WriteServerList(Env* env, const std::string& dir,
                       const ServerListSpec& layout) {
  std::set<std::string> names;
  for (const auto* group : {&layout.first_group, &layout.second_group}) {
    for (const RegionSpec& r : *group) {
      Status s = CheckRegion(r);
      if (!s.ok()) return s;
      // gateway and MainRegion serve both groups by name alone.
      if (!names.insert(Lower(r.name)).second) {
        return Status::InvalidArgument("region " + r.name + " given twice");
      }
    }
  }
  if (layout.first_group.empty() && layout.second_group.empty()) {
    return Status::InvalidArgument("no region");
  }
  const bool first_ok =
      layout.current >= 0 && layout.current < static_cast<int>(layout.first_group.size());
  const bool second_ok =
      layout.current == -1 && layout.second_current >= 0 &&
      layout.second_current < static_cast<int>(layout.second_group.size());
  if (!first_ok && !second_ok) {
    return Status::InvalidArgument("the current region is not in its group");
  }
  if (HasLineBreakOrControl(layout.url)) {
    return Status::InvalidArgument("control characters in the url");
  }
  // A secure list host keeps its scheme: clients fetch the list over TLS.
  std::string_view list_host = layout.list_host;
  if (Lower(list_host.substr(0, 8)) == "https://") list_host.remove_prefix(8);
  if (layout.list_host.size() > kMaxClientText ||
      list_host.find_first_of(" /\t") != std::string::npos ||
      (list_host.empty() && !layout.list_host.empty())) {
    return Status::InvalidArgument(
        "the server-list host is a host name (after https:// for TLS) of at "
        "most 259 bytes");
  }
  Status s = env->CreateDirectories(dir);
  const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  if (s.ok()) {
    s = WriteFileAtomically(env, base + ServerListFileName(layout.list_number),
                            ServerListIni(layout));
  }
  if (s.ok() && !layout.list_host.empty()) {
    s = WriteFileAtomically(env, base + "IPconfig.dat",
                            HostFileBytes(layout.list_host));
  }
  if (s.ok()) {
    s = WriteFileAtomically(env, base + "ng.ini", SettingsIni(layout.list_number));
  }
  return s;
}

}  // namespace dizedir::publish
