// The reference gateway: the monitoring host's main loop over real serial
// lines. It loads a device plug-in, makes one device per configured unit,
// installs the host services into the stand-in framework (libmodbus line,
// SQLite history, check service, control codes) and drives the devices:
// poll rounds, commands and status reports, one exchange at a time.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "gateway/alarms.h"
#include "gateway/commands.h"
#include "gateway/config.h"
#include "gateway/history.h"
#include "gateway/host_services.h"
#include "gateway/plugin.h"
#include "gateway/rtu_link.h"
#include "gateway/unit_names.h"

namespace gw {

class Gateway {
 public:
  // Loads the plug-in, opens the bus and the history, sets up every unit's
  // device and reloads its newest record. Prints what it did on `out`.
  // Throws PluginError, LinkError, HistoryError.
  Gateway(const Config& config, std::ostream& out);
  // Deletes the devices, then unloads the plug-in.
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Sends a command to the named unit, serves its write and
  // acknowledgement, and prints and returns the outcome.
  CommandOutcome run_command(const std::string& unit_name, const Command& command);

  // Polls every unit once, in turn. With `report`, prints the status report
  // of each unit whose round completed. Returns how many completed.
  int poll_round(bool report);

  // One line per unit ("summary NAME: rounds R completed C; requests Q
  // timeouts T bad replies B port errors P given up G; history H records")
  // and one for the port ("summary port PATH: lost L reopened O").
  void print_summary();

 private:
  struct Unit {
    UnitConfig config;
    std::unique_ptr<SPModbus> device;
    long rounds = 0;     // polled
    long completed = 0;  // of those, completed
  };

  void set_up(Unit& unit);
  void reload(Unit& unit);
  bool poll(Unit& unit);
  void print_report(Unit& unit);
  CommandOutcome query_outcome(SPModbus& device);
  Unit& unit_named(const std::string& name);
  // Throws the first history error that a service ran into.
  void check_failure() const;

  std::ostream& out_;
  // Declared before the devices, so destroyed after them: the devices' code
  // lives in the plug-in, and they call these services until they go.
  Plugin plugin_;
  RtuLink link_;
  History history_;
  UnitNames names_;
  Failure failure_;
  HistorySink sink_;
  PrintedEventLog events_;
  AlarmBook alarms_;
  HostControl control_;
  std::vector<Unit> units_;
  std::string report_text_;  // buffer of the report code, kept between rounds
};

}  // namespace gw
