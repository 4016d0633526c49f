// The files that point clients at their servers: patchone.ini, the server
// list a server-list host serves (UTF-16LE with a byte-order mark, CR LF,
// as the Windows profile reader expects), and the two files a client
// directory carries to find that host: IPconfig.dat (the host name, byte i
// shifted by i + 10) and ng.ini (which numbered list to fetch).
//
// Thread-safety: pure functions, and one writer over a directory.

#ifndef DIZEDIR_TOOLS_PUBLISH_SERVER_LIST_WRITER_H_
#define DIZEDIR_TOOLS_PUBLISH_SERVER_LIST_WRITER_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

struct RegionSpec {
  std::string name;
  std::string address;  // update server: host[:port][/dir]
  std::string gateway;  // "host port [rest]"; empty when none
  std::string main;     // main region; empty: the region itself
};

struct ServerListSpec {
  std::vector<RegionSpec> first_group;   // Region1
  std::vector<RegionSpec> second_group;  // Region2
  // Index in the first group, or -1 to pick second_current in the second.
  int current = 0;
  int second_current = 0;
  std::string url;
  std::string list_host;  // for IPconfig.dat; empty writes none
  int list_number = -1;   // ng.ini SP: 1 or more fetches patchoneN.ini
};

// "NAME=ADDRESS[,GATEWAY[,MAIN]]"; a gateway written "host:port" is stored
// as "host port", the form clients split.
Status ParseRegionSpec(std::string_view text, RegionSpec* region);

// The file name a client with this list number fetches.
std::string ServerListFileName(int list_number);

std::string ServerListIni(const ServerListSpec& layout);  // UTF-16LE bytes
std::string HostFileBytes(std::string_view host);       // IPconfig.dat
std::string SettingsIni(int list_number);               // ng.ini

// Checks the layout and writes the list (under its ServerListFileName),
// IPconfig.dat and ng.ini into dir.
Status WriteServerList(Env* env, const std::string& dir,
                       const ServerListSpec& layout);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_SERVER_LIST_WRITER_H_
