// The stand-in's bookkeeping of one device (internal to the stand-in).
#pragma once

#include <optional>

#include "standin/services.h"

struct VDeviceInterface::HostState {
  standin::DeviceLog log;
  std::optional<standin::ModbusRequest> outstanding;  // the request awaiting its reply
};
