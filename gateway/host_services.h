// The host services that the gateway installs besides the serial line and
// the check service: where records go, where alarm events go, and the
// host's own handling of the control codes that devices pass on.
//
// Services are called from inside the plug-in's code, so they never throw:
// a history error is kept in a Failure, and the gateway stops on it once
// the device's call has returned.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "gateway/alarms.h"
#include "gateway/history.h"
#include "gateway/unit_names.h"
#include "standin/services.h"

namespace gw {

// The first error that must stop the gateway.
class Failure {
 public:
  void note(const std::string& message) {
    if (!message_) message_ = message;
  }
  const std::optional<std::string>& message() const { return message_; }

 private:
  std::optional<std::string> message_;
};

// Stores every record that a device saves; announcements need no action
// here, since there is no upper system to forward them to.
class HistorySink : public standin::RecordSink {
 public:
  HistorySink(History& history, const UnitNames& names, Failure& failure)
      : history_(history), names_(names), failure_(failure) {}
  bool announce(SMDVDevice& device, int type, const void* record, int length,
                bool delayed) override;
  bool save_history(SMDVDevice& device, const void* record, int length) override;

 private:
  History& history_;
  const UnitNames& names_;
  Failure& failure_;
};

// Prints every alarm event on `out` and stores it in the history.
class PrintedEventLog : public EventLog {
 public:
  PrintedEventLog(History& history, std::ostream& out, Failure& failure)
      : history_(history), out_(out), failure_(failure) {}
  void record(const AlarmEvent& event) override;

 private:
  History& history_;
  std::ostream& out_;
  Failure& failure_;
};

// The host's DeviceIoControl. It has no control code of its own: it answers
// the result query by leaving the device's answer in place (0), and refuses
// everything else (-1).
class HostControl : public standin::ControlService {
 public:
  int device_io_control(SMDVDevice& device, int code, const void* in, int in_len, void* out,
                        int out_len, int& out_size) override;
};

}  // namespace gw
