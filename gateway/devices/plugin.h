// A device plug-in file, loaded as the monitoring host loads it: dlopen with
// every symbol bound at once, get_providers looked up by its plain name, and
// devices made by the first provider of serial-port devices.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "host/framework.h"
#include "plugin/provider.h"

namespace gw::devices {

class PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Plugin {
 public:
  // Throws PluginError naming the file and what went wrong.
  explicit Plugin(const std::string& path);
  // Every device made by the plug-in must be deleted before this.
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // A new device, owned by the caller and deleted through its virtual
  // destructor. The plug-in's devices talk Modbus: anything else is refused.
  std::unique_ptr<SPModbus> create_device() const;

 private:
  std::string path_;
  void* handle_ = nullptr;
  ProviderList providers_;
  const SMDSPDeviceProvider* serial_provider_ = nullptr;
};

}  // namespace gw::devices
