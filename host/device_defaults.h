// Default bodies of the host's device interface that every plug-in carries
// itself. They are inline so that each plug-in compiles its own copy (hidden
// from other libraries by -fvisibility-inlines-hidden); the host's copies are
// the same code.
#pragma once

#include <iostream>
#include <stdexcept>
#include <string>

// Included at the end of host/framework.h.

namespace host_text {
// The text "data not ready" of the host (UTF-8, written as escapes to keep this
// source ASCII; the driver's texts compare equal to it).
inline constexpr const char kDataNotReady[] = "\u6570\u636e\u672a\u5c31\u7eea";
}  // namespace host_text

// Built from a std::string: the constructor from a C string came with GCC 5's
// libstdc++ (GLIBCXX_3.4.21), the one from a string is in every release.
inline double VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
  throw std::out_of_range(std::string(host_text::kDataNotReady));
}

inline int VDeviceInterface::LoadFromCache(const std::string& bytes) {
  // The string's bytes, never more than an int can count: a longer string is
  // not a record of any device, so it is passed as an impossible length.
  const int length = bytes.size() > 0x7fffffffu ? -1 : static_cast<int>(bytes.size());
  return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), length);
}

inline int VDeviceInterface::DataId() const { return data_id; }

inline const std::string& VDeviceInterface::DeviceType() const { return device_type; }

inline bool VDeviceInterface::UseControllerDb() { return use_controller_db; }

inline std::shared_ptr<SMDVDevice> SMDVDevice::GetChildVDevice(unsigned int) { return {}; }

inline std::vector<std::shared_ptr<SMDVDevice>> SMDVDevice::GetAllChildVDevices() { return {}; }

inline int SPModbus::on_error() {
  std::cout << "SPModbus get error" << std::endl;
  return 0;
}
