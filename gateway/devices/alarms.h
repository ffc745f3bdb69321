// The gateway's check service. A device reports every supervised alarm
// condition on every evaluation, active or not; the service keeps each
// signal's state per unit and turns changes into events: "raised" when a
// condition becomes active, "cleared" when it stops.
//
// The analogue checks (CheckAOReport, CheckThreshold, DoBatchCheckThreshold)
// act on analogue values and rules that the host itself fills; this gateway
// has none, so they never raise.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "gateway/devices/record_limits.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history.h"
#include "standin/services.h"

namespace gw::devices {

// Where events go (printed, stored and published by the gateway).
class EventLog {
 public:
  virtual ~EventLog() = default;
  virtual void record(const history::AlarmEvent& event) = 0;
};

// Safe to use from every bus's thread.
class AlarmBook : public standin::CheckService {
 public:
  AlarmBook(const UnitNames& names, const RecordLimits& limits, EventLog& log)
      : names_(names), limits_(limits), log_(log) {}

  // Marks a signal as raised without an event: the state it had when the
  // gateway last stopped, so that a restart neither repeats nor loses it.
  void restore(const std::string& unit, const std::string& signal_id);
  bool is_raised(const std::string& unit, const std::string& signal_id) const;

  // Returns true when this report raised the alarm.
  bool threshold_bool(SMDVDevice& device, int level, const std::string& signal_id,
                      const std::string& related_id, const std::string& title,
                      const std::string& detail, bool active, unsigned short kind) override;

  bool ao_report(SMDVDevice&, const std::string&, float) override { return false; }
  bool threshold(SMDVDevice&, const std::string&, const std::string&, float, int) override {
    return false;
  }
  bool batch_threshold(SMDVDevice&, std::vector<rule_value>&) override { return false; }

 private:
  using Key = std::pair<std::string, std::string>;  // unit, signal id

  const UnitNames& names_;
  const RecordLimits& limits_;
  EventLog& log_;
  mutable std::mutex mutex_;
  std::map<Key, bool> raised_;
};

}  // namespace gw::devices
