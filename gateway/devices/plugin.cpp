#include "gateway/devices/plugin.h"

#include <dlfcn.h>

namespace gw::devices {

Plugin::Plugin(const std::string& path) : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw PluginError("cannot load plug-in " + path + ": " + dlerror());
  using GetProviders = ProviderList (*)();
  auto entry = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
  if (entry == nullptr) {
    dlclose(handle_);
    throw PluginError("plug-in " + path + " has no get_providers");
  }
  providers_ = entry();
  for (const auto& provider : providers_) {
    serial_provider_ = dynamic_cast<const SMDSPDeviceProvider*>(provider.get());
    if (serial_provider_ != nullptr) break;
  }
  if (serial_provider_ == nullptr) {
    providers_.clear();
    dlclose(handle_);
    throw PluginError("plug-in " + path + " provides no serial-port devices");
  }
}

Plugin::~Plugin() {
  providers_.clear();  // their code lives in the plug-in
  dlclose(handle_);
}

std::unique_ptr<SPModbus> Plugin::create_device() const {
  std::unique_ptr<SMDSPDevice> device(serial_provider_->create());
  if (device == nullptr) throw PluginError("plug-in " + path_ + " created no device");
  auto* modbus = dynamic_cast<SPModbus*>(device.get());
  if (modbus == nullptr)
    throw PluginError("plug-in " + path_ + " made a device that is no Modbus master");
  device.release();
  return std::unique_ptr<SPModbus>(modbus);
}

}  // namespace gw::devices
