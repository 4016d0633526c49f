// The module's entry points. This is the one place the downloader
// reaches the process-wide Env, since a C export has no way to be given one.

#include "dizedir/http_interface.h"
#include "platform/env.h"

#if defined(_WIN32)
#include "platform/http/winhttp_downloader.h"
#else
#include "platform/http/curl_downloader.h"
#endif

namespace {

// Windows has WinHTTP built in; elsewhere libcurl does the same job.
#if defined(_WIN32)
using Downloader = dizedir::http::WinHttpDownloader;
#else
using Downloader = dizedir::http::CurlDownloader;
#endif

}  // namespace

extern "C" {

DIZEDIR_HTTP_API HttpInterface* GetHttpInterface() {
  // Null when it cannot be made; an exception must not cross into the
  // caller, which may not even be C++ built by the same compiler.
  try {
    return new Downloader(dizedir::Env::Default());
  } catch (...) {
    return nullptr;
  }
}

DIZEDIR_HTTP_API void StopDll(HttpInterface* downloader) {
  // Every interface this module hands out is a Downloader.
  delete static_cast<Downloader*>(downloader);
}

DIZEDIR_HTTP_API uint32_t GetHttpInterfaceSlots() {
  // Slots 0 to 37, DownloadFiles the last.
  return 38;
}

}  // extern "C"
