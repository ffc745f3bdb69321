// What a reload changes on a bus, and what the bus did with it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/state/unit_table.h"

namespace gw::bus {

struct BusReload {
  std::vector<config::UnitConfig> units;  // the bus's units from now on, in this order
  double interval_s = 5.0;
  int response_timeout_ms = 500;
  int retries = 1;
  int lost_after_rounds = 3;
  int max_backoff_s = 60;
  // Units that come from another bus, by name: their rows there, whose
  // counters and last command carry over as for a unit set up again.
  std::map<std::string, state::UnitState> arriving;
};

struct BusReloadResult {
  std::vector<std::string> added, removed, set_up_again, unchanged;
  std::vector<std::string> errors;                   // units that could not be set up
  std::map<std::string, state::UnitState> departed;  // the rows of the units removed
};

}  // namespace gw::bus
