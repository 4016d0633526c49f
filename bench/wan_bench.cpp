// Updates over a modelled long link: nginx on loopback behind a LinkModel
// relay that adds the round trips, rate limits and (in one model) the
// connection resets of a distant server. In the same run, on the same
// release, it times `dizedir update` of a fresh client, one curl fetching
// the part files one after another over one kept-alive connection, and
// aria2c -x8 -j8 fetching the same files, and aria2c once more with -s8
// -k1M, which also splits files smaller than its default 40 MiB across
// connections; and `dizedir update` of a client that holds the operator's
// key, the same release signed (its sizes come from the manifest, not from
// size queries). dizedir runs with the client's default number of
// connections and with the most ng.ini allows. Per model it prints the
// times, dizedir against aria2c -x8 -j8 (goal: at most 1.2) and against the
// splitting run, dizedir against the link limit, the part bytes over the
// link rate plus the five round trips an update waits out before its first
// part byte (goal: at most 1.3), and whether dizedir failed.
//
//   wan_bench [--model N] [--rounds R] [--connections C] [--resets F] [--huge]
//
// --connections writes Connections=C into the fresh client's ng.ini and
// runs dizedir with that alone;
// --resets makes the third model reset that fraction of connections.
// --huge runs only a 6 GiB update in three parts over plain loopback and
// passes the host's progress lines through.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link_model.h"
#include "lists/version_record.h"
#include "platform/env.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/nginx_server.h"
#include "engine/release_guard.h"
#include "lists/release_state.h"
#include "support/release_fixture.h"
#include "support/release_signer.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr double kMbit = 1e6 / 8;  // bytes per second
constexpr size_t kFileBytes = 4 * kMiB;

struct Model {
  int number;
  int round_trip_ms;
  double connection_rate;  // bytes per second, 0: none
  double link_rate;
  uint64_t release_bytes;
  int parts;
  double reset_fraction;
};

const Model kModels[] = {
    {1, 80, 16 * kMbit, 200 * kMbit, 60 * kMiB, 9, 0},
    {2, 150, 0, 100 * kMbit, 40 * kMiB, 65, 0},
    {3, 80, 16 * kMbit, 200 * kMbit, 60 * kMiB, 9, 0.01},
};

struct Flags {
  int model = 0;  // 0: all
  int rounds = 1;
  int connections = 0;  // 0: the client's default
  double resets = -1;   // fraction of connections the reset model resets; <0: its own
  bool huge = false;
};

bool ParseFlags(int argc, char** argv, Flags* flags) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--huge") {
      flags->huge = true;
    } else if (arg == "--model" && has_value) {
      flags->model = std::atoi(argv[++i]);
    } else if (arg == "--rounds" && has_value) {
      flags->rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--connections" && has_value) {
      flags->connections = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--resets" && has_value) {
      flags->resets = std::clamp(std::atof(argv[++i]), 0.0, 1.0);
    } else {
      return false;
    }
  }
  return flags->model >= 0 && flags->model <= 3;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string Tail(const std::string& text, size_t lines) {
  size_t at = text.size();
  while (lines-- > 0 && at > 0) {
    const size_t newline = text.rfind('\n', at - 1);
    if (newline == std::string::npos) return text;
    at = newline;
  }
  return text.substr(at + (at < text.size() ? 1 : 0));
}

// A release from version 1 to 2 served under `root` (RELEASE/...): the
// part files' names, their bytes, and what the client holds before and
// after.
struct Release {
  std::string dir;  // under the served root, "m1/rel"
  std::vector<std::string> parts;
  uint64_t part_bytes = 0;
  std::string curver;
  ClientTree before, after;
};

Release BuildRelease(const fs::path& www, const fs::path& work, const std::string& dir,
                     uint64_t bytes, int parts, const ReleaseSigner& signer) {
  std::mt19937_64 random(bytes + parts);
  Release release;
  release.dir = dir;
  release.before.files["game.cfg"] = "version=1\r\n";
  PatchContents patch;
  for (uint64_t at = 0, i = 0; at < bytes; at += kFileBytes, ++i) {
    std::string data(std::min<uint64_t>(kFileBytes, bytes - at), '\0');
    for (size_t k = 0; k + 8 <= data.size(); k += 8) {
      const uint64_t v = random();
      std::memcpy(&data[k], &v, 8);
    }
    patch.files.emplace_back("data/file" + std::to_string(i) + ".bin", std::move(data));
  }
  patch.files.emplace_back("game.cfg", "version=2\r\n");
  release.after = release.before;
  patch.ApplyTo(&release.after);
  // Stored, not deflated: random bytes do not shrink, and the parts then
  // hold the sizes the models name.
  ReleaseFixture fixture(www / dir, work);
  fixture.AddPatchOf(2, 1, patch, parts, 0);
  for (const PartEntry& part : fixture.patches().front().parts) {
    release.parts.push_back(PartFileName(part.name));
    release.part_bytes += fs::file_size(www / dir / release.parts.back());
  }
  release.curver = fixture.ClientList(1);
  // Clients without the key never ask for the manifest.
  signer.Sign(www / dir, signer.ManifestOf(www / dir, ReleaseFixture::kGuid, 1));
  return release;
}

// The client's ng.ini asking for `connections` at once.
std::string SettingsText(int connections) {
  return "[SETTING]\r\nConnections=" + std::to_string(connections) + "\r\n";
}

// A client at version 1 whose server list comes from `host` and names
// `host`/`dir` as its one region.
void WriteClient(const fs::path& client, const fs::path& www, const Release& release,
                 const std::string& host, int connections, const ReleaseSigner& signer,
                 bool signed_release) {
  fs::remove_all(client);
  for (const char* module : kClientModules) {
    WriteBytes(client / module, ReadBytes(fs::path(DIZEDIR_MODULE_DIR) / module));
  }
  WriteClientTree(client, release.before);
  WriteBytes(client / "curver.bin", release.curver);
  WriteBytes(client / "IPconfig.dat", ShiftedHost(host));
  if (connections > 0) WriteBytes(client / "ng.ini", SettingsText(connections));
  WriteBytes(www / "patchone.ini", "[Region1]\r\nlist=main\r\nmain=" + host + "/" + release.dir +
                                       "\r\n[curregDianXin]\r\nregion=0\r\n");
  // A client with the key takes the server list only with its signature.
  signer.SignFile((www / "patchone.ini").string());
  if (signed_release) WriteBytes(client / kTrustedKeyName, signer.PublicKeyFile());
}

// The first file of `names` under `dir` that is missing or not the size it
// has under `served`; empty when all are right.
std::string WrongFile(const fs::path& dir, const fs::path& served,
                      const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::error_code error;
    if (fs::file_size(dir / name, error) != fs::file_size(served / name)) return name;
  }
  return "";
}

// The round trips an update waits out before its first part byte.
constexpr int kUpdateRoundTrips = 5;
// The most connections ng.ini may ask for.
constexpr int kMostConnections = 16;

struct Outcome {
  std::optional<double> best;  // seconds of the fastest run that succeeded
  int failures = 0;
  std::string failure;
  uint64_t connections = 0, resets = 0;  // of the last run

  void Add(bool ok, double seconds, const std::string& why) {
    if (ok) {
      best = std::min(best.value_or(seconds), seconds);
    } else {
      ++failures;
      failure = why;
    }
  }
  std::string Text() const {
    char out[160];
    std::snprintf(out, sizeof(out), "%8.3f s  (%llu connections, %llu reset)", best.value_or(-1),
                  static_cast<unsigned long long>(connections),
                  static_cast<unsigned long long>(resets));
    std::string text = out;
    if (failures > 0) text += "  FAILED " + std::to_string(failures) + "x: " + failure;
    return text;
  }
};

class Bench {
 public:
  const ReleaseSigner& signer() const { return signer_; }

  Bench(const Flags& flags, const fs::path& scratch, int nginx_port, std::string curl,
        std::string aria2c)
      : flags_(flags), scratch_(scratch), www_(scratch / "www"), nginx_port_(nginx_port),
        curl_(std::move(curl)), aria2c_(std::move(aria2c)) {}

  bool RunModel(const Model& model, const Release& release) {
    LinkShape shape;
    shape.round_trip = std::chrono::milliseconds(model.round_trip_ms);
    shape.connection_bytes_per_second = model.connection_rate;
    shape.link_bytes_per_second = model.link_rate;
    shape.reset_fraction =
        model.reset_fraction > 0 && flags_.resets >= 0 ? flags_.resets : model.reset_fraction;
    // A reset lands within the first part a connection carries.
    shape.reset_within_bytes = 0;
    for (const std::string& part : release.parts) {
      shape.reset_within_bytes =
          std::max<uint64_t>(shape.reset_within_bytes, fs::file_size(www_ / release.dir / part));
    }
    shape.seed = static_cast<uint64_t>(model.number);
    std::unique_ptr<LinkModel> link;
    const Status s = LinkModel::Start(nginx_port_, shape, &link);
    if (!s.ok()) {
      std::fprintf(stderr, "link: %s\n", s.ToString().c_str());
      return false;
    }
    const double rtt = model.round_trip_ms / 1000.0;
    // An update waits out, before its first part byte, the round trips of
    // a connection and of four requests each needing the one before: the
    // server list, the start lists (version list, mirrors, manifest), the
    // patch list, the first part. A downloader given the part addresses
    // (curl, aria2c) waits out two of them.
    const double link_limit = release.part_bytes / model.link_rate + kUpdateRoundTrips * rtt;
    // One connection: its rate, a round trip to connect and one per request.
    const double one_connection =
        release.part_bytes /
            (model.connection_rate > 0 ? std::min(model.connection_rate, model.link_rate)
                                       : model.link_rate) +
        (1 + release.parts.size()) * rtt;
    std::printf("model %d: RTT %d ms, %s per connection, %.0f Mbit/s link, %.0f%% of connections "
                "reset; %.1f MiB in %zu parts\n",
                model.number, model.round_trip_ms,
                model.connection_rate > 0
                    ? (std::to_string(static_cast<int>(model.connection_rate / kMbit)) + " Mbit/s")
                          .c_str()
                    : "no limit",
                model.link_rate / kMbit, shape.reset_fraction * 100,
                release.part_bytes / double(kMiB), release.parts.size());
    std::fflush(stdout);

    // The client's default number of connections, and the most ng.ini
    // allows, which a server that limits each connection calls for; or
    // only what --connections asks.
    std::vector<int> settings = {flags_.connections};
    if (flags_.connections == 0) settings.push_back(kMostConnections);
    std::vector<Outcome> dizedir(settings.size()), dizedir_signed(settings.size());
    Outcome curl, aria2c, aria2c_split;
    for (int round = 0; round < flags_.rounds; ++round) {
      for (size_t i = 0; i < settings.size(); ++i) {
        RunDizedir(*link, release, false, settings[i], &dizedir[i]);
        RunDizedir(*link, release, true, settings[i], &dizedir_signed[i]);
      }
      RunCurl(*link, release, shape.reset_fraction > 0, &curl);
      RunAria2c(*link, release, {}, &aria2c);
      RunAria2c(*link, release, {"-s8", "-k1M"}, &aria2c_split);
    }
    std::printf("  link limit %8.3f s  (part bytes / link rate + %d round trips: connect, server "
                "list, start lists, patch list, first part)\n",
                link_limit, kUpdateRoundTrips);
    std::printf("  curl       %s  (one connection, a round trip per request: %.3f s)\n",
                curl.Text().c_str(), one_connection);
    std::printf("  aria2c     %s  (-x8 -j8)\n", aria2c.Text().c_str());
    std::printf("  aria2c     %s  (-x8 -j8 -s8 -k1M: files split too)\n",
                aria2c_split.Text().c_str());
    int failures = 0;
    for (size_t i = 0; i < settings.size(); ++i) {
      const std::string setting = settings[i] == 0
                                      ? std::string("the default connections")
                                      : "Connections=" + std::to_string(settings[i]);
      std::printf("  dizedir    %s  (%s)\n", dizedir[i].Text().c_str(), setting.c_str());
      std::printf("  signed     %s  (%s, the release signed)\n", dizedir_signed[i].Text().c_str(),
                  setting.c_str());
      if (dizedir[i].best && aria2c.best) {
        std::printf("    dizedir/aria2c     %.3f (goal <= 1.2)\n", *dizedir[i].best / *aria2c.best);
      }
      if (dizedir[i].best && aria2c_split.best) {
        std::printf("    dizedir/aria2c-split %.3f\n", *dizedir[i].best / *aria2c_split.best);
      }
      if (dizedir[i].best) {
        std::printf("    dizedir/link-limit %.3f (goal <= 1.3)\n", *dizedir[i].best / link_limit);
      }
      if (dizedir_signed[i].best && aria2c.best) {
        std::printf("    signed/aria2c      %.3f   signed/link-limit %.3f\n",
                    *dizedir_signed[i].best / *aria2c.best, *dizedir_signed[i].best / link_limit);
      }
      failures += dizedir[i].failures + dizedir_signed[i].failures;
    }
    std::printf("  dizedir %s\n", failures > 0 ? "FAILED" : "finished every round");
    std::fflush(stdout);
    return true;
  }

 private:
  // Runs `program` and notes its time, the connections it opened and the
  // resets they met.
  template <typename Check>
  void Timed(const LinkModel& link, const std::string& program,
             const std::vector<std::string>& args, Outcome* outcome, Check check) {
    const fs::path output = scratch_ / "output.txt";
    std::system("sync");
    const LinkModel::Counts before = link.counts();
    const Clock::time_point start = Clock::now();
    const int status = Subprocess::RunToFile(program, args, output.string());
    const double took = Seconds(start);
    const LinkModel::Counts after = link.counts();
    outcome->connections = after.connections - before.connections;
    outcome->resets = after.resets - before.resets;
    std::string why = status == 0 ? check() : "exit status " + std::to_string(status) + ": " +
                                                  Tail(ReadBytes(output), 2);
    for (char& c : why) {
      if (c == '\n') c = ' ';
    }
    outcome->Add(why.empty(), took, why);
  }

  void RunDizedir(const LinkModel& link, const Release& release, bool signed_release,
                  int connections, Outcome* outcome) {
    const fs::path client = scratch_ / "client";
    WriteClient(client, www_, release, link.host_port(), connections, signer_, signed_release);
    ClientTree expected = release.after;
    if (connections > 0) expected.files["ng.ini"] = SettingsText(connections);
    if (signed_release) expected.files[kTrustedKeyName] = signer_.PublicKeyFile();
    Timed(link, DIZEDIR_PROGRAM, {"update", "--client", client.string(), "--optional", "no"},
          outcome, [&] {
            // What a signed client keeps of the trust it accepted.
            for (const char* kept : {kReleaseStateName, "patchone.ini.minisig"}) {
              if (signed_release && fs::exists(client / kept)) {
                expected.files[kept] = ReadBytes(client / kept);
              }
            }
            const std::string problems = CompareClientTree(client, expected);
            return problems.empty() ? problems : "client differs:" + problems.substr(0, 200);
          });
  }

  void RunCurl(const LinkModel& link, const Release& release, bool retry, Outcome* outcome) {
    const fs::path out = scratch_ / "curl";
    fs::remove_all(out);
    fs::create_directories(out);
    std::vector<std::string> args = {"-sS", "--fail"};
    if (retry) args.insert(args.end(), {"--retry", "5", "--retry-all-errors"});
    for (const std::string& part : release.parts) {
      args.insert(args.end(), {"-o", (out / part).string(),
                               "http://" + link.host_port() + "/" + release.dir + "/" + part});
    }
    Timed(link, curl_, args, outcome,
          [&] { return WrongFile(out, www_ / release.dir, release.parts); });
  }

  void RunAria2c(const LinkModel& link, const Release& release,
                 const std::vector<std::string>& extra, Outcome* outcome) {
    const fs::path out = scratch_ / "aria2c";
    fs::remove_all(out);
    fs::create_directories(out);
    std::string urls;
    for (const std::string& part : release.parts) {
      urls += "http://" + link.host_port() + "/" + release.dir + "/" + part + "\n";
    }
    WriteBytes(scratch_ / "aria2c-input.txt", urls);
    std::vector<std::string> args = {"-x8", "-j8"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-q", "--allow-overwrite=true", "--auto-file-renaming=false", "-d",
                             out.string(), "-i", (scratch_ / "aria2c-input.txt").string()});
    Timed(link, aria2c_, args, outcome, [&] { return WrongFile(out, www_ / release.dir, release.parts); });
  }

  const Flags flags_;
  const fs::path scratch_, www_;
  const ReleaseSigner signer_;
  const int nginx_port_;
  const std::string curl_, aria2c_;
};

double FreeGiB(const fs::path& dir) { return fs::space(dir).available / double(kGiB); }

// Three files of 2 GiB of zeros, made sparse, stored in one archive cut
// into three parts of a little over 2 GiB, fetched over plain loopback.
int RunHuge(const fs::path& scratch, int nginx_port, int connections) {
  const fs::path www = scratch / "www";
  const fs::path root = www / "huge" / "rel";
  std::printf("free space before: %.1f GiB\nbuilding a 6 GiB release...\n", FreeGiB(scratch));
  std::fflush(stdout);
  Clock::time_point start = Clock::now();
  // The fixture publishes the lists around a placeholder archive whose
  // parts are then replaced by the large one's, under the same names.
  ReleaseFixture fixture(root, scratch / "work");
  fixture.AddPatchItems(2, 1, {{"placeholder", "placeholder of three parts"}}, 3, 0);
  const fs::path staging = scratch / "huge-staging";
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    names.push_back("data/huge" + std::to_string(i) + ".bin");
    fs::create_directories((staging / names.back()).parent_path());
    std::FILE* file = std::fopen((staging / names.back()).c_str(), "wb");
    if (file == nullptr) return 1;
    std::fclose(file);
    fs::resize_file(staging / names.back(), 2 * kGiB);
  }
  const fs::path zip = root / "upd2.zip";
  std::string command = "cd '" + staging.string() + "' && zip -q -X -0 '" + zip.string() + "'";
  for (const std::string& name : names) command += " '" + name + "'";
  if (std::system(command.c_str()) != 0 || !SplitFile(Env::Default(), zip.string(), 3)) {
    std::fprintf(stderr, "could not make the archive\n");
    return 1;
  }
  fs::remove(zip);
  fs::remove_all(staging);
  PatchRecord& record = fixture.patches().front();
  if (record.parts.size() != 3 || !DigestParts(Env::Default(), root.string() + "/", &record)) {
    std::fprintf(stderr, "could not digest the parts\n");
    return 1;
  }
  fixture.Publish();
  uint64_t bytes = 0;
  for (const PartEntry& part : record.parts) {
    const uint64_t size = fs::file_size(root / PartFileName(part.name));
    bytes += size;
    std::printf("part %s: %.3f GiB\n", part.name.c_str(), size / double(kGiB));
  }
  std::printf("built in %.1f s; free space now %.1f GiB\n", Seconds(start), FreeGiB(scratch));

  Release release;
  release.dir = "huge/rel";
  release.curver = fixture.ClientList(1);
  const fs::path client = scratch / "client";
  const std::string host = "127.0.0.1:" + std::to_string(nginx_port);
  WriteClient(client, www, release, host, connections, ReleaseSigner(), false);
  std::printf("dizedir update of %.2f GiB over loopback; the host's own lines follow\n",
              bytes / double(kGiB));
  std::fflush(stdout);
  start = Clock::now();
  const std::string update = std::string(DIZEDIR_PROGRAM) + " update --client '" +
                             client.string() + "' --optional no";
  const int status = std::system(update.c_str());
  const double took = Seconds(start);
  std::string wrong;
  for (const std::string& name : names) {
    std::error_code error;
    if (fs::file_size(client / name, error) != 2 * kGiB) wrong += " " + name;
  }
  std::printf("huge: %s in %.1f s (%.1f MiB/s); exit status %d; free space after %.1f GiB\n",
              status == 0 && wrong.empty() ? "finished" : "FAILED", took,
              bytes / double(kMiB) / took, status, FreeGiB(scratch));
  if (!wrong.empty()) std::printf("missing or short:%s\n", wrong.c_str());
  return status == 0 && wrong.empty() ? 0 : 1;
}

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  using namespace dizedir;
  Flags flags;
  if (!ParseFlags(argc, argv, &flags)) {
    std::fprintf(stderr,
                 "usage: wan_bench [--model 1|2|3] [--rounds R] [--connections C] [--resets F] "
                 "[--huge]\n");
    return 2;
  }
  const std::string nginx = NginxServer::FindNginx();
  const std::string curl = FindProgram("curl");
  const std::string aria2c = FindProgram("aria2c");
  if (nginx.empty() || (!flags.huge && (curl.empty() || aria2c.empty()))) {
    std::fprintf(stderr, "wan_bench needs nginx, curl and aria2c\n");
    return 2;
  }
  ScratchDir scratch("wan_bench");
  const fs::path www = scratch.path() / "www";
  fs::create_directories(www);
  NginxServer server;
  std::string error;
  if (!server.Start(nginx, scratch.path() / "nginx",
                    {"    listen 127.0.0.1:$PORT;\n    root " + www.string() +
                     ";\n    keepalive_requests 100000;"},
                    &error)) {
    std::fprintf(stderr, "nginx did not start: %s\n", error.c_str());
    return 1;
  }
  if (flags.huge) return RunHuge(scratch.path(), server.port(0), flags.connections);

  Bench bench(flags, scratch.path(), server.port(0), curl, aria2c);
  // Models of the same size and parts (1 and 3) share one release.
  std::map<std::pair<uint64_t, int>, Release> releases;
  for (const Model& model : kModels) {
    if (flags.model != 0 && flags.model != model.number) continue;
    const std::pair<uint64_t, int> key(model.release_bytes, model.parts);
    if (releases.count(key) == 0) {
      std::printf("building a release of %.0f MiB in %d parts...\n",
                  model.release_bytes / double(kMiB), model.parts);
      std::fflush(stdout);
      releases[key] = BuildRelease(www, scratch.path() / "work",
                                   "m" + std::to_string(model.number) + "/rel",
                                   model.release_bytes, model.parts, bench.signer());
    }
    if (!bench.RunModel(model, releases[key])) return 1;
  }
  return 0;
}
