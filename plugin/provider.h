// The providers through which the host obtains device objects, and the one
// function that the host looks up by name in a plug-in file.
//
// A host loads the plug-in, calls get_providers, keeps the providers and asks
// a provider for one device object per configured unit. The providers have
// no data: each is a bare virtual-table pointer.
#pragma once

#include <memory>
#include <vector>

class SMDSPDevice;

// Root of every provider the host accepts.
class Provider {
 public:
  virtual ~Provider() = default;
};

// Providers of devices on a serial port.
class SMDSPDeviceProvider : public Provider {
 public:
  // A new device object, owned by the caller and destroyed through its
  // virtual destructor.
  virtual SMDSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;

// A fresh list holding one fresh provider on every call; no state is kept.
// Exported unmangled; it returns a C++ type, which the host expects.
extern "C" __attribute__((visibility("default"))) ProviderList get_providers();
