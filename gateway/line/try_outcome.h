// What became of one try of a request on the line.
#pragma once

#include <string>

namespace gw::line {

enum class TryOutcome {
  kOk,
  kTimeout,      // no reply in time
  kBadReply,     // a corrupt or mismatched reply
  kException,    // an exception reply: the unit refused
  kPortError,    // the port does not work (gone, hung up)
  kInterrupted,  // a system call cut short by a signal: nothing wrong with the line
  kStopped,      // given up for a stop
};

// The outcome of a try that failed with `code`: an errno value or one of
// libmodbus's codes. EINTR is never a port error.
TryOutcome failure_of(int code);

struct TryResult {
  TryOutcome outcome = TryOutcome::kOk;
  std::string reason;  // why it failed
  int code = 0;        // the errno value or libmodbus code behind it
};

// A try given up for a stop.
inline TryResult stopped() { return {TryOutcome::kStopped, "stopping", 0}; }

}  // namespace gw::line
