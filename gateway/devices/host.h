// The monitoring host's side of the plug-in, shared by every bus: the
// loaded plug-in and the services that the stand-in hands the devices'
// calls to (the serial lines by device, the history, the alarm book, the
// host's control codes). Installed into the stand-in while it lives.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/devices/alarms.h"
#include "gateway/devices/host_services.h"
#include "gateway/devices/plugin.h"
#include "gateway/devices/unit_device.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history_writer.h"
#include "gateway/line/rtu_link.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"
#include "standin/services.h"

namespace gw::devices {

// The stand-in's Modbus link: hands each device's requests to the line of
// its bus, with the on/off acknowledgement by the unit's run state.
class BusLinks : public standin::ModbusLink {
 public:
  void attach(const VDeviceInterface& device, line::RtuLink& link);
  void detach(const VDeviceInterface& device);
  int transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) override;

 private:
  std::mutex mutex_;
  std::map<const VDeviceInterface*, line::RtuLink*> links_;
};

class Host {
 public:
  // Installs the services; the plug-in makes the devices.
  Host(const Plugin& plugin, history::HistoryWriter& history, state::StateTable& table,
       state::EventStream& stream);
  // Every unit must be removed before; the plug-in outlives it.
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  struct AddedUnit {
    std::unique_ptr<UnitDevice> unit;
    std::vector<state::ActiveAlarm> alarms;  // raised when the gateway last stopped
  };
  // A new device for the unit, on `link` (its counters continuing from
  // `counters`), set up as the host does, with its alarms restored as they
  // were when the gateway last stopped (when the history can tell). On the
  // bus's thread. Throws PluginError.
  AddedUnit add_unit(const config::UnitConfig& config, line::RtuLink& link,
                     const line::LineCounters& counters = {});
  // Takes the unit's device off its line and out of the services; returns
  // its line counters. The caller then deletes it.
  line::LineCounters remove_unit(UnitDevice& unit, line::RtuLink& link);

  // As the host does at start: the unit's newest stored record of its own
  // data id goes back to its device, which completes a round with it; that
  // round's record is stored marked as a reload. Prints the "reload NAME:
  // ..." record line.
  void reload(UnitDevice& unit);

  // An alarm of the gateway's own (comm_lost): printed, stored, put in the
  // unit's row and published like the device's.
  void record_alarm(const history::AlarmEvent& event) { events_.record(event); }

  // The bytes of the last record that the unit's device saved.
  std::string last_record(const UnitDevice& unit) const { return sink_.last_record(unit.device()); }

 private:
  const Plugin& plugin_;
  history::HistoryWriter& history_;
  UnitNames names_;
  RecordLimits limits_;
  HistorySink sink_;
  AlarmEventLog events_;
  AlarmBook alarms_;
  HostControl control_;
  BusLinks links_;
};

}  // namespace gw::devices
