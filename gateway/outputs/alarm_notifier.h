// Alarm notifications ("notify": {"exec": [PROGRAM, ARG...],
// "min_duration_s": N, "timeout_s": T}): the program runs for every alarm
// raised or cleared, the unit's loss of communication and its recovery
// among them (signal id "comm_lost"), once the change has lasted
// min_duration_s (see AlarmHoldBack). It learns what happened from its
// environment:
//
//   NORVANE_UNIT=ac1                NORVANE_SIGNAL_ID=120800150010
//   NORVANE_TITLE=Water on the floor  NORVANE_STATE=raised (or cleared)
//   NORVANE_LEVEL=3                 NORVANE_TIME=2024-05-01T12:00:05+02:00 (of the change)
//   NORVANE_DETAIL=...              NORVANE_UNIT_TITLE=... (the plug-in's title, UTF-8)
//   NORVANE_HOST=gateway host name
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

#include "gateway/config/output_config.h"
#include "gateway/outputs/alarm_hold_back.h"
#include "gateway/outputs/event_reader.h"

namespace gw::outputs {

class AlarmNotifier final : public EventReader {
 public:
  // Throws std::runtime_error when the program is not an executable file.
  AlarmNotifier(state::EventStream& stream, config::NotifyConfig config);
  ~AlarmNotifier() override;

  // The gateway is stopping: a program that runs gets a short grace, and
  // no other starts.
  void stopping() { stopping_ = true; }

 private:
  void on_event(const state::Event& event) override;
  void on_tick() override;
  void on_end() override;
  void tell(const state::AlarmChanged& change);

  const config::NotifyConfig config_;
  AlarmHoldBack hold_back_;
  std::atomic<bool> stopping_{false};
  long not_told_ = 0;  // changes due when the gateway stopped (the notifier's thread's)
};

// The environment of a notification.
std::vector<std::string> notification_environment(const state::AlarmChanged& change);

}  // namespace gw::outputs
