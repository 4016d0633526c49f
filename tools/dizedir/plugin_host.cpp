#include "plugin_host.h"

namespace dizedir {

Status PluginHost::Load(const std::string& client_dir,
                        std::unique_ptr<PluginHost>* host) {
  host->reset();
  std::string path = client_dir;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  path += kPluginModule;
  std::unique_ptr<PluginHost> loaded(new PluginHost);
  Status s = LoadSharedLibrary(path, &loaded->library_);
  if (!s.ok()) return s;
  loaded->get_interface_ = reinterpret_cast<DizedirInterface* (*)()>(
      loaded->library_->Symbol("GetDizedirInterface"));
  loaded->stop_ =
      reinterpret_cast<int32_t (*)()>(loaded->library_->Symbol("PluginDllStop"));
  if (loaded->get_interface_ == nullptr || loaded->stop_ == nullptr) {
    return Status::InvalidArgument(path + ": not a dizedir plug-in");
  }
  // A module from before the verify slots has no such export.
  const auto slots =
      reinterpret_cast<uint32_t (*)()>(loaded->library_->Symbol("GetDizedirInterfaceSlots"));
  loaded->slots_ = slots != nullptr ? slots() : kFirstPluginSlots;
  *host = std::move(loaded);
  return Status::OK();
}

PluginHost::~PluginHost() { Stop(); }

DizedirInterface* PluginHost::Create() {
  Stop();
  object_ = get_interface_();
  return object_;
}

void PluginHost::Stop() {
  if (object_ != nullptr) {
    stop_();
    object_ = nullptr;
  }
}

}  // namespace dizedir
