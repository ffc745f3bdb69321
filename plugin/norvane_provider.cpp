#include "driver/norvane.h"
#include "plugin/provider.h"

namespace {

class NorvaneProvider : public SMDSPDeviceProvider {
 public:
  // The new device takes nothing from its provider: the host configures it
  // afterwards (Init, InitSetting).
  SMDSPDevice* create() const override { return new Norvane(); }
};

}  // namespace

ProviderList get_providers() {
  ProviderList providers;
  std::shared_ptr<Provider> provider = std::make_shared<NorvaneProvider>();
  providers.push_back(std::move(provider));
  return providers;
}
