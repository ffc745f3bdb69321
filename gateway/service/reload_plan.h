// What a reload of the configuration changes in the running gateway, as
// the configuration's field table says of each field: the buses' units and
// timing, applied at once; the rest (the plug-in, the history, the control
// socket, the outputs, a bus's line) named by its field as needing a
// restart, and kept as it runs so that the next reload names it again.
//
// Buses are matched by port (a single bus to a single bus whatever its
// port). When buses come or go, the list of buses and all their units
// stay as they run until a restart.
#pragma once

#include <string>
#include <vector>

#include "gateway/bus/bus_worker.h"
#include "gateway/config/config.h"

namespace gw::service {

struct ReloadPlan {
  config::Config in_use;  // the configuration from now on
  // Fields changed that only a restart applies, by their paths in the
  // table ("bus.baud", "history_keep_days", "mqtt"), a bus's among several
  // as "buses[1].baud (/dev/ttyS2)".
  std::vector<std::string> needs_restart;
  std::vector<bus::BusReload> buses;  // each running bus's changes; none: not applied
};

ReloadPlan plan_reload(const config::Config& running, const config::Config& loaded);

}  // namespace gw::service
