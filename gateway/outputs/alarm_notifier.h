// Alarm notifications ("notify": {"exec": [PROGRAM, ARG...],
// "min_duration_s": N, "timeout_s": T}): the program runs for every alarm
// raised or cleared, the unit's loss of communication and its recovery
// among them (signal id "comm_lost"), once the change has lasted
// min_duration_s (see AlarmHoldBack). It learns what happened from its
// environment:
//
//   NORVANE_UNIT=ac1                     the unit's name (units[].name)
//   NORVANE_UNIT_LABEL=Room B2 north     its title for people (units[].title,
//                                        UTF-8; its name unless given)
//   NORVANE_SIGNAL_ID=120800150010       NORVANE_STATE=raised (or cleared)
//   NORVANE_TITLE=Water on the floor     the alarm's English title
//   NORVANE_UNIT_TITLE=...               the alarm's title as the plug-in
//                                        gives it (Chinese, UTF-8); not the
//                                        unit's title, which is NORVANE_UNIT_LABEL
//   NORVANE_LEVEL=3                      NORVANE_LEVEL_NAME=critical
//   NORVANE_VALUE=24.2                   a limit alarm's reading and the limit
//   NORVANE_LIMIT=22                     it was compared with, at most two
//   NORVANE_VALUE_UNIT=°C                decimals; empty for other alarms
//   NORVANE_TIME=2024-05-01T12:00:05+02:00 (of the change)
//   NORVANE_DETAIL=...                   the plug-in's detail (UTF-8)
//   NORVANE_BUS=/dev/ttyUSB0             NORVANE_SLAVE=1
//   NORVANE_ACTIVE_ALARMS=2              the unit's active alarms when the
//                                        program starts (this one among them
//                                        while it lasts)
//   NORVANE_PAGE=http://gw1:9120/        the status page; empty with HTTP off
//   NORVANE_HOST=gateway host name
//
// The unit's label, bus, slave and alarm count come from the state table
// when the program starts; they are empty for a unit that a reload took
// out meanwhile.
//
// One program at a time, in the order of the changes, on the notifier's
// own thread: a slow or hung program delays the next notification (up to
// timeout_s each), never a poll. The program's output (standard output and
// error together) goes to the log as "notify output: LINE" lines, at most
// 4096 bytes and 64 lines a run; what is past that is discarded, and
// counted in the run's own log line.
//
// When the gateway stops, no further program starts: the changes not yet
// told are counted and logged (the history holds them), and a program that
// runs is let go within 0.5 s (program_runner.h). Not to be confused with
// the service manager's notifications (service/notify.h).
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/output_config.h"
#include "gateway/outputs/alarm_hold_back.h"
#include "gateway/outputs/event_reader.h"
#include "gateway/state/service_api.h"

namespace gw::outputs {

class AlarmNotifier final : public EventReader {
 public:
  // Throws std::runtime_error when the program is not an executable file.
  // `page_address`: the HTTP endpoint's bound address ("127.0.0.1:9120"),
  // when it is on.
  AlarmNotifier(state::ServiceApi& api, config::NotifyConfig config,
                std::optional<std::string> page_address);
  ~AlarmNotifier() override;

  // The gateway is stopping: a program that runs gets a short grace, and
  // no other starts.
  void stopping() { stopping_ = true; }

 private:
  void on_event(const state::Event& event) override;
  void on_tick() override;
  void on_end() override;
  void tell(const state::AlarmChanged& change);

  const state::ServiceApi& api_;
  const config::NotifyConfig config_;
  const std::string page_url_;  // "" with HTTP off
  AlarmHoldBack hold_back_;
  std::atomic<bool> stopping_{false};
  long not_told_ = 0;  // changes due when the gateway stopped (the notifier's thread's)
};

// What a notification tells of the unit and where to look, beside the
// change itself.
struct NotificationContext {
  std::string unit_label, bus, slave, active_alarms;  // empty: the unit is gone
  std::string page_url;                               // empty: HTTP is off
  std::string host;
};

// The context of a change to `unit`'s alarms, from a snapshot of the state.
NotificationContext notification_context(const state::StateSnapshot& snapshot,
                                         const std::string& unit, const std::string& page_url,
                                         const std::string& host);

// The status page's address of an HTTP endpoint bound to `address`
// ("127.0.0.1:9120", "[::1]:9120", "0.0.0.0:9120"): "http://ADDRESS/", with
// `host` in place of an address that listens on every interface.
std::string page_url_of(const std::string& address, const std::string& host);

// The environment of a notification.
std::vector<std::string> notification_environment(const state::AlarmChanged& change,
                                                  const NotificationContext& context);

}  // namespace gw::outputs
