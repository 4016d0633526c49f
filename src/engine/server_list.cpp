// The server-list task: where the server list comes from and how it becomes
// the region list.

#include <cstdio>
#include <string>
#include <vector>

#include "engine/patch_engine.h"
#include "engine/server_address.h"
#include "lists/formatted_scanner.h"
#include "platform/ini_file.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr uint32_t kStringHostFileMissing = 216;
constexpr uint32_t kStringConnectFailed = 217;
constexpr uint32_t kStringTempListFailed = 218;

// Every value of the server list is read into a buffer of this many units.
constexpr size_t kIniValueUnits = 1024;

// The standard decimal conversion: leading white space, an optional sign,
// digits; the rest is ignored and no digits give 0. Saturates instead of
// overflowing.
int32_t ToInt32(std::u16string_view text) { return LenientInt32(text); }

std::vector<std::u16string> SplitNames(std::u16string_view list) {
  std::vector<std::u16string> names;
  std::u16string current;
  for (char16_t c : list) {
    if (c == u' ' || c == u',') {
      if (!current.empty()) names.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) names.push_back(std::move(current));
  return names;
}

struct Gateway {
  std::u16string host;
  uint32_t port = 0;
  std::u16string rest;
};

// "host port[ rest]": the rest keeps its separating space.
Gateway SplitGateway(std::u16string_view value) {
  Gateway g;
  const size_t space = value.find(u' ');
  if (space == std::u16string_view::npos) {
    g.host = value;
    return g;
  }
  g.host = value.substr(0, space);
  const std::u16string_view remainder = value.substr(space + 1);
  const size_t second = remainder.find(u' ');
  if (second == std::u16string_view::npos) {
    g.port = static_cast<uint32_t>(ToInt32(remainder));
  } else {
    g.port = static_cast<uint32_t>(ToInt32(remainder.substr(0, second)));
    g.rest = remainder.substr(second);
  }
  return g;
}

// True when the file reads as a server list naming at least one region
// with an address.
bool HasRegion(Env* env, const std::string& path) {
  IniFile ini;
  if (!IniFile::Load(env, path, &ini).ok()) return false;
  for (const char16_t* section : {u"Region1", u"Region2"}) {
    for (const std::u16string& name :
         SplitNames(ini.GetString(section, u"list", u"", kIniValueUnits))) {
      if (!ini.GetString(section, name, u"", kIniValueUnits).empty()) return true;
    }
  }
  return false;
}

}  // namespace

bool PatchEngine::ClientPath(std::string_view name, std::string* path) {
  if (PathUnits(client_dir_) + PathUnits(name) > kMaxPathUnits) {
    Fail(kStringPathTooLong);
    return false;
  }
  *path = client_dir_;
  path->append(name);
  return true;
}

bool PatchEngine::RunServerList() {
  if (client_dir_.empty()) {
    Fail(kStringNoClientDir);
    return false;
  }
  // A refreshed list replaces the old one instead of growing it.
  region_list_->RemoveAll();
  primary_region_count_ = 0;

  std::string host_file, settings_file, list_file, temp_file, signature_file;
  if (!ClientPath("IPconfig.dat", &host_file) || !ClientPath("ng.ini", &settings_file) ||
      !ClientPath("patchone.ini", &list_file) ||
      !ClientPath("patchone_temp.ini", &temp_file)) {
    return false;
  }
  if (Refused(guard_.Load(env_, client_dir_))) return false;
  // Only a client that checks signatures needs room for the signature.
  if (guard_.enabled() && !ClientPath("patchone_temp.ini.minisig", &signature_file)) {
    return false;
  }

  std::string stored;
  const Status read = ReadFileToString(env_, host_file, &stored, kMaxPathBytes);
  if (read.IsCorruption()) {  // larger than the host buffer holds
    Fail(kStringHostFileTooLong);
    return false;
  }
  if (!read.ok()) {
    Fail(kStringHostFileMissing);
    return false;
  }
  if (stored.size() > kMaxPathBytes) {
    Fail(kStringHostFileTooLong);
    return false;
  }
  std::string host;
  for (size_t i = 0; i < stored.size(); ++i) {
    const char c = static_cast<char>(static_cast<uint8_t>(stored[i]) - i - 10);
    if (c == '\0') break;  // the text ends at its first NUL
    host += c;
  }
  if (host.empty()) {
    Fail(kStringHostFileEmpty);
    return false;
  }

  IniFile settings;
  IniFile::Load(env_, settings_file, &settings);  // missing: every key default
  const int list_number = settings.GetInt(u"SETTING", u"SP", -1);
  if (!ApplyCaBundle()) return false;
  ReadTransferSettings();

  if (StopRequested()) return false;
  const ServerAddress list_host = SplitServerAddress(host);
  if (downloader_ == nullptr ||
      downloader_->Connect(list_host.HostText().c_str(), 80) == 0) {
    Fail(kStringConnectFailed);
    return false;
  }

  {
    std::unique_ptr<WritableFile> file;
    Status s = env_->NewWritableFile(temp_file, &file);
    if (s.ok()) s = file->Close();
    if (!s.ok()) {
      Fail(kStringTempListFailed);
      return false;
    }
  }

  std::string url = list_host.UrlBase();
  if (list_number < 1) {
    url += "/patchone.ini";
  } else {
    url += "/patchone" + std::to_string(list_number) + ".ini";
  }
  if (url.size() > kMaxPathBytes) {
    env_->DeleteFile(temp_file);
    Fail(kStringPathTooLong);
    return false;
  }

  // The old list stays until a complete new one can take its name in one
  // rename, so a crash leaves one or the other, never a torn file. What
  // arrived must also be a server list: an error page served with 200 would
  // otherwise replace a good list with one that has no region.
  bool replaced = false;
  std::vector<SmallFile> files = {
      {url, temp_file, static_cast<uint32_t>(IniFile::kMaxFileBytes)}};
  // With a trusted key, the regions (and so every update address) are the
  // operator's only when the operator signed them; the signature comes
  // along with the list.
  if (guard_.enabled()) {
    env_->DeleteFile(signature_file);
    files.push_back({url + ".minisig", signature_file,
                     static_cast<uint32_t>(minisign::kMaxSignatureFileBytes)});
  }
  FetchSmallFiles(&files);
  if (files[0].fetched) {
    Refusal unsigned_list;
    if (guard_.enabled()) {
      unsigned_list = files[1].fetched
                          ? guard_.CheckSignedFile(temp_file, signature_file, "patchone.ini")
                          : Refusal{kStringSignatureMissing, " (patchone.ini)"};
    }
    if (!unsigned_list.ok()) {
      if (sink_ != nullptr) {
        const std::string why = Text(kStringServerListUnsigned) + " " +
                                Text(unsigned_list.text_id) + unsigned_list.detail;
        sink_->SetStatusText(why.c_str());
      }
    } else if (!HasRegion(env_, temp_file)) {
      ShowStatus(kStringServerListUnusable);
    } else if (env_->RenameFile(temp_file, list_file).ok()) {
      env_->SyncDirectory(client_dir_);
      replaced = true;
    }
  } else if (const uint32_t reason = TransferReason();
             reason >= kStringTlsUntrusted && reason <= kStringTlsFailed && sink_ != nullptr) {
    // The task goes on with the list it has, but a player whose list host
    // fails its certificate check must learn why nothing new arrives.
    sink_->SetStatusText((Text(kStringServerListInsecure) + " " + Text(reason)).c_str());
  }
  if (guard_.enabled()) env_->DeleteFile(signature_file);
  if (!replaced) env_->DeleteFile(temp_file);
  if (StopRequested()) return false;

  ParseRegionList();
  return true;
}

void PatchEngine::ParseRegionList() {
  std::string path;
  if (!ClientPath("patchone.ini", &path)) return;
  IniFile ini;
  IniFile::Load(env_, path, &ini);
  auto value = [&ini](std::u16string_view section, std::u16string_view key) {
    return ini.GetString(section, key, u"", kIniValueUnits);
  };

  auto add_group = [&](std::u16string_view section, bool counted) {
    for (const std::u16string& name : SplitNames(value(section, u"list"))) {
      const std::u16string address = value(section, name);
      const Gateway gateway = SplitGateway(value(u"gateway", name));
      std::u16string main = value(u"MainRegion", name);
      if (main.empty()) main = name;
      region_list_->AddRegion(CVkRegion(name.c_str(), address.c_str(), 80,
                                        gateway.host.c_str(), gateway.port,
                                        gateway.rest.c_str(), main.c_str()));
      if (counted) ++primary_region_count_;
    }
  };
  add_group(u"Region1", true);
  add_group(u"Region2", false);

  const int32_t first = ToInt32(value(u"curregDianXin", u"region"));
  if (first == -1) {
    const int32_t second = ToInt32(value(u"curregWangTong", u"region"));
    current_region_ = static_cast<uint8_t>(primary_region_count_ + second);
  } else {
    current_region_ = static_cast<uint8_t>(first);
  }
  url_ = value(u"url", u"url");
}

bool PatchEngine::SelectRegion() {
  const CVkRegion* region = region_list_->GetAt(current_region_);
  if (region == nullptr) {
    char detail[64];
    std::snprintf(detail, sizeof detail, " (%u of %u)", unsigned{current_region_},
                  region_list_->GetCount());
    Fail(kStringRegionMissing, detail);
    return false;
  }
  std::string address = Utf16ToNarrow(region->serverAddress);
  if (address.size() > kMaxPathBytes) {
    Fail(kStringPathTooLong);
    return false;
  }
  server_address_ = std::move(address);
  server_port_ = region->port;
  if (downloader_ != nullptr) {
    downloader_->SetHost(SplitServerAddress(server_address_).HostText().c_str());
  }
  return true;
}

}  // namespace dizedir
