// The plug-in's door: get_providers and the provider's create().
#include <memory>

#include <gtest/gtest.h>
#include <json/json.h>

#include "driver/norvane.h"
#include "plugin/provider.h"
#include "tests/support/fake_host.h"

namespace {

std::unique_ptr<SMDSPDevice> create_from(const std::shared_ptr<Provider>& provider) {
  auto* serial = dynamic_cast<SMDSPDeviceProvider*>(provider.get());
  EXPECT_NE(serial, nullptr) << "the provider makes serial-port devices";
  return std::unique_ptr<SMDSPDevice>(serial ? serial->create() : nullptr);
}

class Providers : public fakes::HostTest {};

TEST_F(Providers, EachCallGivesOneFreshProvider) {
  const ProviderList first = get_providers();
  const ProviderList second = get_providers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
  EXPECT_EQ(first[0].use_count(), 1);
}

TEST_F(Providers, CreateNewNorvaneDevicesWithZeroRecords) {
  const auto device = create_from(get_providers()[0]);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType(), "norvane");
  auto* norvane = dynamic_cast<Norvane*>(device.get());
  ASSERT_NE(norvane, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&norvane->data);
  EXPECT_EQ(std::count(bytes, bytes + 121, 0), 121);
}

TEST_F(Providers, CreateIndependentDevicesThatOutliveTheirProvider) {
  std::unique_ptr<SMDSPDevice> a, b;
  {
    const ProviderList providers = get_providers();
    a = create_from(providers[0]);
    b = create_from(providers[0]);
  }  // every provider pointer released
  ASSERT_NE(a.get(), b.get());
  Json::Value settings;
  settings["appSetting"]["b_mode"] = "2";
  a->data_id = 5;
  a->InitSetting(settings);
  a->RefreshStatus();
  testing::internal::CaptureStdout();
  standin::serve_exchange(dynamic_cast<SPModbus&>(*a));
  testing::internal::GetCapturedStdout();

  auto& na = dynamic_cast<Norvane&>(*a);
  auto& nb = dynamic_cast<Norvane&>(*b);
  EXPECT_EQ(na.b_mode, 2);
  EXPECT_EQ(nb.b_mode, 1);
  EXPECT_EQ(na.data.data_id, 5);
  EXPECT_EQ(na.data.set_temperature, 240);
  EXPECT_EQ(nb.data.data_id, 0);
  EXPECT_EQ(nb.data.set_temperature, 0);
  EXPECT_TRUE(na.data_state);
  EXPECT_FALSE(nb.data_state);
}

}  // namespace
