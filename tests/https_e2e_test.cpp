// Transfers over TLS against a real nginx on loopback, with certificates
// made for the run by the openssl command line (support/make_test_certs.sh):
// one good server, and one each whose certificate names another host, has
// expired, or comes from a CA the client does not trust. Every nginx
// server proxies to the in-process test server, so its files, its Range
// answers and its faults (a dropped connection) reach the client through
// TLS.
//
// HttpsDownloader drives the downloader module directly; HttpsUpdate runs
// whole updates through the launcher, on Linux and, when the Windows leg
// names its client modules (DIZEDIR_WINDOWS_CLIENT, see
// scripts/test-windows.sh), through dizedir.exe under Wine with the WinHTTP
// downloader. Skipped where nginx or openssl is not installed.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dizedir/http_interface.h"
#include "engine/patch_engine.h"
#include "platform/env.h"
#include "plugin/string_table.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/nginx_server.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Fault = TestHttpServer::Fault;

// The nginx servers, in the order they are started.
enum Server { kGood, kOtherName, kExpired, kUntrusted, kServerCount };

// The certificates, the test server behind nginx and nginx itself, made
// once for every test of the program.
class TlsServers {
 public:
  // Destroyed at exit, which stops nginx and removes the certificates.
  static TlsServers* Get() {
    static TlsServers servers;
    return &servers;
  }

  // Empty when the servers run; else why the tests are skipped or fail.
  const std::string& problem() const { return problem_; }
  bool skipped() const { return skipped_; }
  fs::path certs() const { return scratch_.path() / "certs"; }
  TestHttpServer& backend() { return backend_; }
  std::string host(Server server, const std::string& name = "127.0.0.1") const {
    return name + ":" + std::to_string(nginx_.port(server));
  }

 private:
  TlsServers() {
    const std::string nginx = NginxServer::FindNginx();
    const std::string bash = FindProgram("bash");
    if (nginx.empty() || FindProgram("openssl").empty() || bash.empty()) {
      skipped_ = true;
      problem_ = "nginx or openssl is not installed";
      return;
    }
    const fs::path log = scratch_.path() / "certs.log";
    if (Subprocess::RunToFile(bash, {DIZEDIR_CERT_SCRIPT, certs().string()}, log.string()) != 0) {
      problem_ = "making the certificates failed: " + ReadBytes(log);
      return;
    }
    const char* certificates[kServerCount] = {"good", "other-name", "expired", "untrusted"};
    // "localhost" may resolve to ::1 first; the servers answer there too
    // when the machine has IPv6 loopback.
    const std::string also_ipv6 = Ipv6LoopbackWorks() ? "    listen [::1]:$PORT ssl;\n" : "";
    std::vector<std::string> servers;
    for (const char* name : certificates) {
      servers.push_back(
          "    listen 127.0.0.1:$PORT ssl;\n" + also_ipv6 +
          "    ssl_certificate " + (certs() / name).string() + ".pem;\n"
          "    ssl_certificate_key " + (certs() / "server.key").string() + ";\n"
          "    location / {\n"
          "      proxy_pass http://" + backend_.host_port() + ";\n"
          "      proxy_buffering off;\n"
          "      proxy_http_version 1.1;\n"
          "      proxy_set_header Connection \"\";\n"
          "    }");
    }
    if (!nginx_.Start(nginx, scratch_.path() / "nginx", servers, &problem_)) {
      problem_ = "nginx did not start: " + problem_;
    }
  }

  static bool Ipv6LoopbackWorks() {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
  }

  ScratchDir scratch_{"https"};
  TestHttpServer backend_;
  NginxServer nginx_;
  std::string problem_;
  bool skipped_ = false;
};

#define REQUIRE_TLS_SERVERS(servers)                                 \
  do {                                                               \
    if ((servers)->skipped()) GTEST_SKIP() << (servers)->problem();  \
    ASSERT_EQ((servers)->problem(), "");                             \
  } while (false)

struct StopDllDeleter {
  void operator()(HttpInterface* downloader) const { StopDll(downloader); }
};
using DownloaderPtr = std::unique_ptr<HttpInterface, StopDllDeleter>;

class HttpsDownloader : public ::testing::Test {
 protected:
  void SetUp() override {
    servers_ = TlsServers::Get();
    REQUIRE_TLS_SERVERS(servers_);
    downloader_.reset(GetHttpInterface());
    ASSERT_NE(downloader_, nullptr);
    downloader_->SetRetryPolicy(2, 10);
    downloader_->SetStallTimeout(2000);
  }

  std::string Local(const std::string& name) const { return (scratch_.path() / name).string(); }

  TlsServers* servers_ = nullptr;
  ScratchDir scratch_{"https_dl"};
  DownloaderPtr downloader_;
};

// Each refused certificate fails with its own reason and leaves no file;
// only the trusted CA's certificate for the host is taken.
TEST_F(HttpsDownloader, CertificatesAreVerified) {
  const std::string body = RandomBytes(5000, 3);
  servers_->backend().AddFile("/list.txt", body);
  WriteBytes(scratch_.path() / "no-cert.pem", "-----BEGIN NOTHING-----\n");
  struct Case {
    const char* name;
    Server server;
    std::optional<std::string> bundle;  // a file of the certificates; nullopt: the system's
    int set_result;
    int failure;  // kHttpFailureNone: the file arrives
  };
  const std::string ca = (servers_->certs() / "ca.pem").string();
  const Case cases[] = {
      {"good", kGood, ca, 1, kHttpFailureNone},
      {"another name", kOtherName, ca, 1, kHttpFailureTlsWrongName},
      {"expired", kExpired, ca, 1, kHttpFailureTlsExpired},
      {"untrusted CA", kUntrusted, ca, 1, kHttpFailureTlsUntrusted},
      {"the system's store knows no test CA", kGood, std::nullopt, 1, kHttpFailureTlsUntrusted},
      // A CA of the same name but another key vouches for nothing.
      {"a CA of the same name", kGood, (servers_->certs() / "rogue-ca.pem").string(), 1,
       kHttpFailureTlsUntrusted},
      {"a bundle without certificates", kGood, Local("no-cert.pem"), 0, kHttpFailureTlsUntrusted},
      {"a missing bundle", kGood, Local("missing.pem"), 0, kHttpFailureTlsUntrusted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.bundle) {
      EXPECT_EQ(downloader_->SetCaBundle(c.bundle->c_str()), c.set_result);
    } else {
      EXPECT_EQ(downloader_->SetCaBundle(nullptr), 1);
    }
    const std::string local = Local("list.txt");
    WriteBytes(local, "an older copy");
    const std::string url = "https://" + servers_->host(c.server) + "/list.txt";
    const bool ok = c.failure == kHttpFailureNone;
    EXPECT_EQ(downloader_->DownloadFile(url.c_str(), local.c_str()), ok ? 1 : 0);
    EXPECT_EQ(downloader_->GetLastFailure(), c.failure);
    if (ok) {
      EXPECT_EQ(ReadBytes(local), body);
    } else {
      EXPECT_FALSE(fs::exists(local));
    }
  }
}

// A queue on a TLS server resumes a dropped part with a Range request, as
// over plain http, and a server that does not speak TLS at all is retried
// and then reported as such.
TEST_F(HttpsDownloader, QueueResumesOverTls) {
  const std::string part = RandomBytes(600000, 5);
  servers_->backend().AddFile("/rel/p_0.zxp", part);
  servers_->backend().SetFault("/rel/p_0.zxp", Fault::DropAfter(250000, 1));
  servers_->backend().ClearRequests();
  ASSERT_EQ(downloader_->SetCaBundle((servers_->certs() / "ca.pem").string().c_str()), 1);
  const std::string host = "https://" + servers_->host(kGood);
  ASSERT_EQ(downloader_->Connect(host.c_str(), 80), 1);
  downloader_->SetHost(host.c_str());
  ASSERT_EQ(downloader_->GetFileSize("rel\\p_0.zxp"), part.size());
  downloader_->SetRemoteDir("rel");
  downloader_->AddRemoteFile("p_0.zxp");
  downloader_->AddLocalFile(Local("p_0.zxp").c_str());
  ASSERT_EQ(downloader_->DownloadQueue(), 1) << downloader_->GetLastFailure();
  EXPECT_EQ(ReadBytes(Local("p_0.zxp")), part);
  std::vector<std::string> ranges;
  for (const auto& request : servers_->backend().RequestsFor("/rel/p_0.zxp")) {
    if (request.method == "GET") ranges.push_back(request.range);
  }
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0], "");
  // nginx may have passed on a little less than the backend sent.
  EXPECT_EQ(ranges[1].rfind("bytes=", 0), 0u) << ranges[1];
  EXPECT_NE(ranges[1], "bytes=0-");

  const std::string plain = "https://" + servers_->backend().host_port() + "/rel/p_0.zxp";
  EXPECT_EQ(downloader_->DownloadFile(plain.c_str(), Local("x").c_str()), 0);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureTls);
}

// The Windows modules CompareClientTree does not know as the client's own.
const std::set<std::string> kComparedModules = {"dizedir.dll", "Http.dll", "VkMain.dll"};

// Whole updates: a client whose list host and region are https:// servers,
// with the test CA named in ng.ini.
class HttpsUpdate : public ::testing::Test {
 protected:
  // How a client is updated: the Linux launcher, or dizedir.exe under Wine.
  struct Launcher {
    std::vector<std::string> modules;  // copied into the client
    fs::path module_dir;
    // Runs the update of `client`, output to `log`: the exit code.
    std::function<int(const fs::path& client, const fs::path& log)> run;
    // How the servers are named in the client's addresses.
    std::string host_name = "127.0.0.1";
    // Whether a refusal names its own cause; else any TLS text will do.
    bool exact_reasons = true;
  };

  void SetUp() override {
    servers_ = TlsServers::Get();
    REQUIRE_TLS_SERVERS(servers_);
    ASSERT_TRUE(StringTable::Open(Env::Default(),
                                  std::string(DIZEDIR_MODULE_DIR) + "/ResChn.dll", &strings_)
                    .ok());
    tree_.files = {{"game.cfg", "version=1\r\n"}, {"data/a.bin", RandomBytes(20000, 1)}};
    tree_.packs["items.pac"] = {{1, {"one", false}}, {2, {RandomBytes(300, 2), true}}};
    PatchContents patch2;
    patch2.files = {{"game.cfg", "version=2\r\n"}, {"data/b.bin", RandomBytes(400000, 4)}};
    patch2.packs["items.pac"] = {{3, {"three", true}}};
    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "www" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatchOf(2, 1, patch2, 2);
    updated_ = tree_;
    patch2.ApplyTo(&updated_);
    servers_->backend().ServeDirectory((scratch_.path() / "www").string());
  }

  // Every case against the one launcher: the client's files afterwards,
  // the exit code and the text the player reads.
  void RunCases(const Launcher& launcher) {
    struct Case {
      const char* name;
      Server server;
      bool bundle;       // ng.ini names the test CA
      uint32_t reason;   // 0: the update succeeds
    };
    const Case cases[] = {
        {"good certificate", kGood, true, 0},
        {"certificate for another name", kOtherName, true, kStringTlsWrongName},
        {"expired certificate", kExpired, true, kStringTlsExpired},
        {"untrusted CA", kUntrusted, true, kStringTlsUntrusted},
        {"CA not named in ng.ini", kGood, false, kStringTlsUntrusted},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const std::string server = "https://" + servers_->host(c.server, launcher.host_name);
      const std::string region_list =
          "[Region1]\r\nlist=main\r\nmain=" + server + "/rel\r\n[curregDianXin]\r\nregion=0\r\n";
      servers_->backend().AddFile("/patchone.ini", region_list);
      const fs::path client = scratch_.path() / (std::string("client-") + c.name);
      fs::remove_all(client);
      // The client's own files beside the game's; the modules the
      // comparison leaves out are written apart.
      ClientTree before = tree_;
      for (const std::string& module : launcher.modules) {
        const std::string bytes = ReadBytes(launcher.module_dir / module);
        if (kComparedModules.count(module) != 0) {
          before.files[module] = bytes;
        } else {
          WriteBytes(client / module, bytes);
        }
      }
      before.files["ng.ini"] = c.bundle ? "[SETTING]\r\nCABundle=certs\\ca.pem\r\n" : "";
      before.files["certs/ca.pem"] = ReadBytes(servers_->certs() / "ca.pem");
      WriteClientTree(client, before);
      const std::string installed = release_->ClientList(1);
      WriteBytes(client / "curver.bin", installed);
      WriteBytes(client / "IPconfig.dat", ShiftedHost(server));
      // The list a client had before: the same region.
      WriteBytes(client / "patchone.ini", region_list);

      const fs::path log = scratch_.path() / "update.log";
      const int exit_code = launcher.run(client, log);
      const std::string output = ReadBytes(log);
      if (c.reason == 0) {
        EXPECT_EQ(exit_code, 0) << output;
        ClientTree after = updated_;
        for (const auto& [name, bytes] : before.files) {
          if (tree_.files.count(name) == 0) after.files[name] = bytes;
        }
        EXPECT_EQ(CompareClientTree(client, after), "");
      } else {
        EXPECT_EQ(exit_code, 1) << output;
        if (launcher.exact_reasons) {
          EXPECT_NE(output.find(strings_->LookupNarrow(c.reason)), std::string::npos) << output;
        } else {
          bool tls_text = false;
          for (uint32_t id : {kStringTlsUntrusted, kStringTlsWrongName, kStringTlsExpired,
                              kStringTlsFailed}) {
            tls_text = tls_text || output.find(strings_->LookupNarrow(id)) != std::string::npos;
          }
          EXPECT_TRUE(tls_text) << output;
        }
        EXPECT_EQ(CompareClientTree(client, before), "");
        EXPECT_EQ(ReadBytes(client / "curver.bin"), installed);
      }
    }
  }

  TlsServers* servers_ = nullptr;
  ScratchDir scratch_{"https_update"};
  std::unique_ptr<StringTable> strings_;
  ClientTree tree_, updated_;
  std::unique_ptr<ReleaseFixture> release_;
};

TEST_F(HttpsUpdate, LinuxLauncher) {
  Launcher launcher;
  launcher.modules.assign(std::begin(kClientModules), std::end(kClientModules));
  launcher.module_dir = DIZEDIR_MODULE_DIR;
  launcher.run = [](const fs::path& client, const fs::path& log) {
    return Subprocess::RunToFile(DIZEDIR_UPDATE_RUNNER, {client.string()}, log.string());
  };
  RunCases(launcher);
}

// The Windows modules (DIZEDIR_WINDOWS_CLIENT, their build's client/) and
// the Wine prefix and runner the Windows leg uses.
TEST_F(HttpsUpdate, WindowsLauncherUnderWine) {
  const char* windows_client = std::getenv("DIZEDIR_WINDOWS_CLIENT");
  const char* prefix = std::getenv("DIZEDIR_WINE_PREFIX");
  if (windows_client == nullptr || prefix == nullptr) {
    GTEST_SKIP() << "run by the Windows leg (scripts/test-windows.sh)";
  }
  Launcher launcher;
  launcher.modules = {"dizedir.dll", "Http.dll", "VkMain.dll", "ResChn.dll"};
  launcher.module_dir = windows_client;
  // Wine's certificate check matches the server's name against the DNS
  // names of a certificate only (never its IP addresses), and reports a
  // refused certificate without WinHTTP's detail flags: the launcher names
  // the servers "localhost", and any TLS refusal text counts.
  launcher.host_name = "localhost";
  launcher.exact_reasons = false;
  const std::string runner = std::string(DIZEDIR_SOURCE_ROOT) + "/cmake/wine-run.sh";
  launcher.run = [&](const fs::path& client, const fs::path& log) {
    // Wine's Z: drive is the root of the Linux file system.
    std::string windows_path = "Z:" + client.string();
    for (char& ch : windows_path) {
      if (ch == '/') ch = '\\';
    }
    return Subprocess::RunToFile(
        FindProgram("bash"),
        {runner, prefix, windows_client, std::string(windows_client) + "/dizedir.exe", "update",
         "--client", windows_path},
        log.string());
  };
  RunCases(launcher);
}

}  // namespace
}  // namespace dizedir
