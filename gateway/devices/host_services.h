// The host services that the gateway installs besides the serial line and
// the check service: where records go, where alarm events go, and the
// host's own handling of the control codes that devices pass on.
//
// Services are called from inside the plug-in's code, so they never throw:
// the history takes records and events into its writer's queue, and its
// errors never reach them. Each may be called from every bus's thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "gateway/devices/alarms.h"
#include "gateway/devices/record_limits.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"
#include "standin/services.h"

namespace gw::devices {

// Stores every record that a device saves and keeps the last one of each
// device. An announced record (a round's, before its alarm checks run)
// gives the checks the unit's own limits; there is no upper system to
// forward it to.
class HistorySink : public standin::RecordSink {
 public:
  HistorySink(history::HistoryStore& history, const UnitNames& names, RecordLimits& limits)
      : history_(history), names_(names), limits_(limits) {}
  bool announce(SMDVDevice& device, int type, const void* record, int length,
                bool delayed) override;
  bool save_history(SMDVDevice& device, const void* record, int length) override;

  // While set, the device's records are stored marked as a reload's.
  void set_reloading(const VDeviceInterface& device, bool reloading);
  // The bytes of the last record that the device saved.
  std::string last_record(const VDeviceInterface& device) const;
  void forget(const VDeviceInterface& device);

 private:
  history::HistoryStore& history_;
  const UnitNames& names_;
  RecordLimits& limits_;
  mutable std::mutex mutex_;
  std::map<const VDeviceInterface*, std::string> last_;
  std::set<const VDeviceInterface*> reloading_;
};

// The record line of an alarm event, in English:
//
//   alarm ac1 raised 120800090010 level 3 critical at 2026-05-01T12:00:05+02:00:
//   Return air temperature high, 29.5 °C, limit 28 °C; unit_label="Room A"
//   title_zh="回风温度过高" detail_zh="当前温度:29.5"
//
// (one line). The value and limit come with a limit alarm, the unit's
// title when it is not its name; the plug-in's Chinese title and detail
// stay as fields. The gateway's own comm_lost gives its English detail.
std::string alarm_line(const history::AlarmEvent& event, const std::string& unit_title);

// Every alarm event: printed as a record line (alarm_line), stored in the
// history, put in the unit's row of the state table and published on the
// stream.
class AlarmEventLog : public EventLog {
 public:
  AlarmEventLog(history::HistoryStore& history, state::StateTable& table,
                state::EventStream& stream)
      : history_(history), table_(table), stream_(stream) {}
  void record(const history::AlarmEvent& event) override;

 private:
  history::HistoryStore& history_;
  state::StateTable& table_;
  state::EventStream& stream_;
};

// A unit's active alarm as the state table holds it.
state::ActiveAlarm active_alarm(const history::AlarmEvent& event);
// Puts the event into the unit's list of active alarms (raised) or takes
// its signal out (cleared).
void apply_alarm(std::vector<state::ActiveAlarm>& alarms, const history::AlarmEvent& event);

// The host's DeviceIoControl. It has no control code of its own: it answers
// the result query by leaving the device's answer in place (0), and refuses
// everything else (-1).
class HostControl : public standin::ControlService {
 public:
  int device_io_control(SMDVDevice& device, int code, const void* in, int in_len, void* out,
                        int out_len, int& out_size) override;
};

}  // namespace gw::devices
