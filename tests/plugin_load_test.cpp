// A host program loads the built norvane.so as the monitoring host does:
// dlopen with every symbol bound at once, get_providers by its plain name,
// devices created, configured, polled, reloaded and deleted. It knows only
// the host framework and the provider interface, not the driver's classes.
#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "plugin/provider.h"
#include "tests/support/fake_host.h"

#ifndef NORVANE_PLUGIN_PATH
#error "NORVANE_PLUGIN_PATH names the built norvane.so"
#endif

namespace {

using GetProviders = ProviderList (*)();

class LoadedPlugin : public fakes::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    handle = dlopen(NORVANE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle != nullptr) {
      EXPECT_EQ(dlclose(handle), 0);
    }
    HostTest::TearDown();
  }

  std::unique_ptr<SMDSPDevice> create(int data_id, const char* mode) {
    auto entry = reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
    EXPECT_NE(entry, nullptr) << "get_providers is exported unmangled";
    const ProviderList providers = entry();
    EXPECT_EQ(providers.size(), 1u);
    auto* serial = dynamic_cast<SMDSPDeviceProvider*>(providers.at(0).get());
    EXPECT_NE(serial, nullptr);
    std::unique_ptr<SMDSPDevice> device(serial->create());
    device->data_id = data_id;
    Json::Value settings;
    settings["appSetting"]["b_mode"] = mode;
    device->InitSetting(settings);
    return device;
  }

  void run_round(SMDSPDevice& device) {
    device.RefreshStatus();
    testing::internal::CaptureStdout();
    const auto outcome = standin::serve_exchange(dynamic_cast<SPModbus&>(device));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome.replies, 4);
  }

  void* handle = nullptr;
};

TEST_F(LoadedPlugin, ExportsNothingButGetProvidersByName) {
  EXPECT_NE(dlsym(handle, "get_providers"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN7NorvaneC1Ev"), nullptr) << "the driver's classes stay hidden";
}

TEST_F(LoadedPlugin, DrivesTwoIndependentDevicesThroughRoundsAndAReload) {
  std::unique_ptr<SMDSPDevice> first = create(11, "1");
  std::unique_ptr<SMDSPDevice> second = create(22, "1");
  EXPECT_EQ(first->DeviceType(), "norvane");

  run_round(*first);
  unit.registers[22] = 301;  // the second device sees a warmer room
  run_round(*second);
  ASSERT_EQ(sink.saved.size(), 2u);
  const std::vector<unsigned char> first_record = sink.saved[0].bytes;
  const std::vector<unsigned char> second_record = sink.saved[1].bytes;
  ASSERT_EQ(first_record.size(), 121u);
  ASSERT_EQ(second_record.size(), 121u);
  EXPECT_EQ(first_record[0], 11) << "data_id of the first device";
  EXPECT_EQ(second_record[0], 22) << "data_id of the second device";
  EXPECT_EQ(first_record[26] | first_record[27] << 8, 235);
  EXPECT_EQ(second_record[26] | second_record[27] << 8, 301);

  // Reload the second device's record into the first: only the first changes.
  std::string kept(second_record.begin(), second_record.end());
  int taken = 0;
  testing::internal::CaptureStdout();
  taken = first->LoadFromCache(kept);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(taken, 1);
  EXPECT_EQ(out, "rvSize is 0\n");
  ASSERT_EQ(sink.saved.size(), 3u);
  const std::vector<unsigned char>& reloaded = sink.saved[2].bytes;
  EXPECT_TRUE(std::equal(reloaded.begin(), reloaded.begin() + 114, second_record.begin()));
  EXPECT_EQ(first->LoadFromCache(kept.substr(1)), 0);

  run_round(*second);
  ASSERT_EQ(sink.saved.size(), 4u);
  EXPECT_EQ(sink.saved[3].bytes[0], 22) << "the second device kept its own data_id";

  first.reset();  // deleted through the virtual destructor
  run_round(*second);
  second.reset();
}

// The report and the commands go through JsonCpp in the host process: the
// writer, the reader, and a JsonCpp exception caught inside the plug-in.
TEST_F(LoadedPlugin, AnswersReportAndCommandCodesWithTheHostsJsonCpp) {
  std::unique_ptr<SMDSPDevice> device = create(5, "2");
  run_round(*device);
  char text[8192];
  int size = 0;
  ASSERT_EQ(device->DeviceIoControl(801, nullptr, 0, text, sizeof text, size), 0);
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(text, text + size, report));
  EXPECT_EQ(report.size(), 46u);
  EXPECT_EQ(text[size - 1], '\n');

  const std::string too_deep = std::string(1001, '[') + std::string(1001, ']');
  EXPECT_EQ(device->DeviceIoControl(320, too_deep.data(), static_cast<int>(too_deep.size()),
                                    nullptr, 0, size),
            -1);
  const std::string set_point = R"({"signal_id":"150800310010","SetValue":"21"})";
  ASSERT_EQ(device->DeviceIoControl(310, set_point.data(), static_cast<int>(set_point.size()),
                                    nullptr, 0, size),
            0);
  EXPECT_EQ(standin::serve_exchange(dynamic_cast<SPModbus&>(*device)).replies, 1);
  EXPECT_EQ(unit.registers[1], 210);
  int result = 0;
  device->DeviceIoControl(1, nullptr, 0, &result, sizeof result, size);
  EXPECT_EQ(result, 1) << "the echo of the set point was judged a success";
}

}  // namespace
