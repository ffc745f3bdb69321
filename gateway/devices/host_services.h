// The host services that the gateway installs besides the serial line and
// the check service: where records go, where alarm events go, and the
// host's own handling of the control codes that devices pass on.
//
// Services are called from inside the plug-in's code, so they never throw:
// a history error is kept in a Failure, and the bus stops on it once the
// device's call has returned. Each may be called from every bus's thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/devices/alarms.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"
#include "standin/services.h"

namespace gw {

// The first error that must stop the gateway.
class Failure {
 public:
  void note(const std::string& message);
  std::optional<std::string> message() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> message_;
};

// Stores every record that a device saves and keeps the last one of each
// device; announcements need no action here, since there is no upper
// system to forward them to.
class HistorySink : public standin::RecordSink {
 public:
  HistorySink(HistoryStore& history, const UnitNames& names, Failure& failure)
      : history_(history), names_(names), failure_(failure) {}
  bool announce(SMDVDevice& device, int type, const void* record, int length,
                bool delayed) override;
  bool save_history(SMDVDevice& device, const void* record, int length) override;

  // The bytes of the last record that the device saved.
  std::string last_record(const VDeviceInterface& device) const;
  void forget(const VDeviceInterface& device);

 private:
  HistoryStore& history_;
  const UnitNames& names_;
  Failure& failure_;
  mutable std::mutex mutex_;
  std::map<const VDeviceInterface*, std::string> last_;
};

// Every alarm event: printed as a record line ("alarm NAME raised|cleared
// SIGNAL_ID level N at TIME: TITLE (DETAIL)"), stored in the history, put
// in the unit's row of the state table and published on the stream.
class AlarmEventLog : public EventLog {
 public:
  AlarmEventLog(HistoryStore& history, StateTable& table, EventStream& stream, Failure& failure)
      : history_(history), table_(table), stream_(stream), failure_(failure) {}
  void record(const AlarmEvent& event) override;

 private:
  HistoryStore& history_;
  StateTable& table_;
  EventStream& stream_;
  Failure& failure_;
};

// A unit's active alarm as the state table holds it.
ActiveAlarm active_alarm(const AlarmEvent& event);
// Puts the event into the unit's list of active alarms (raised) or takes
// its signal out (cleared).
void apply_alarm(std::vector<ActiveAlarm>& alarms, const AlarmEvent& event);

// The host's DeviceIoControl. It has no control code of its own: it answers
// the result query by leaving the device's answer in place (0), and refuses
// everything else (-1).
class HostControl : public standin::ControlService {
 public:
  int device_io_control(SMDVDevice& device, int code, const void* in, int in_len, void* out,
                        int out_len, int& out_size) override;
};

}  // namespace gw
