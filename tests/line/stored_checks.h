// What the gateway stored, judged against what the simulated unit can hold:
// every record whole and the unit's own, alarm events in step with the
// records' flags.
#pragma once

#include <string>
#include <vector>

#include "tests/gateway/harness.h"

namespace line {

// A fault flag of the unit that the runs raise and clear, and the alarm
// signal that watches it.
struct SupervisedFlag {
  const char* scenario_name;  // as simulator/scenario.h names it
  int reg;
  const char* signal_id;
  // The scenario turns it on and off every period: a few rounds of a
  // clean line (about 1 ms each), so that even a short run sees changes.
  double period_s;
};

inline constexpr SupervisedFlag kSupervisedFlags[] = {
    {"floor_water", 31, "120800150010", 0.007},
    {"filter_clogged", 30, "120800260010", 0.013},
    {"fan_overload", 39, "120800240010", 0.029},
    {"humidifier_fault", 42, "120800230010", 0.053},
};

// The scenario of the simulated unit: each flag on and off in turn, every
// period of its own, for `seconds`.
std::string flag_scenario(double seconds);

// Why `record` is not a whole record of the unit with data id `data_id`
// (its size, a word the unit never holds, a register that the unit never
// changes holding another value); empty when it is whole.
std::string record_fault(const std::string& record, int data_id);

// Checks (adding failures) that each supervised signal's events alternate,
// raised first, and follow the flag in the records: one event for every
// change from record to record, the last event matching the last record.
// Returns the number of events.
long check_alarms_follow_records(const std::vector<harness::StoredRecord>& records,
                                 const std::vector<harness::StoredEvent>& events);

}  // namespace line
