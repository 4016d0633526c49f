// The module's two entry points. This is the one place the downloader
// reaches the process-wide Env, since a C export has no way to be given one.

#include "dizedir/http_interface.h"
#include "platform/env.h"
#include "platform/http/curl_downloader.h"

extern "C" {

DIZEDIR_HTTP_API HttpInterface* GetHttpInterface() {
  return new dizedir::http::CurlDownloader(dizedir::Env::Default());
}

DIZEDIR_HTTP_API void StopDll(HttpInterface* downloader) {
  // Every interface this module hands out is a CurlDownloader.
  delete static_cast<dizedir::http::CurlDownloader*>(downloader);
}

}  // extern "C"
