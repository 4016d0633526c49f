// RunEngineTask: one task of a PatchEngine against a real server, as the
// plug-in would run it, with the downloader's timeouts cut to test length.
// The downloader is the module's own; on an Env other than the process's
// (a capped disk), one is built on that Env from the same code.
//
// Thread-safety: one call per engine; calls may run in parallel.

#ifndef DIZEDIR_TESTS_SUPPORT_ENGINE_TASK_H_
#define DIZEDIR_TESTS_SUPPORT_ENGINE_TASK_H_

#include <string>

#include "engine/patch_engine.h"
#include "platform/env.h"
#include "platform/http/curl_downloader.h"
#include "plugin/string_table.h"
#include "support/recording_sink.h"

namespace dizedir {

enum class EngineTask { kUpdate, kServerList };

inline bool RunEngineTask(EngineTask task, const StringTable* strings, RecordingSink* sink,
                          const std::string& client_dir, Env* env = Env::Default()) {
  DownloaderModule module;
  module.get = [env] {
    HttpInterface* d =
        env == Env::Default() ? GetHttpInterface() : new http::CurlDownloader(env);
    d->SetStallTimeout(300);
    d->SetRetryPolicy(2, 20);
    d->SetRateFloor(2048, 400);
    return d;
  };
  module.stop = [env](HttpInterface* d) {
    if (env == Env::Default()) {
      StopDll(d);
    } else {
      delete static_cast<http::CurlDownloader*>(d);
    }
  };
  PatchEngine engine(env, strings, module);
  engine.set_small_file_deadline(1500);
  *sink = RecordingSink();
  engine.SetPlugin(sink, nullptr);
  engine.SetClientDir(client_dir);
  engine.ParseRegionList();
  return task == EngineTask::kUpdate ? engine.RunUpdate() : engine.RunServerList();
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_ENGINE_TASK_H_
