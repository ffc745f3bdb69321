#include "gateway/line/try_outcome.h"

#include <cerrno>

#include <modbus.h>

namespace gw::line {

TryOutcome failure_of(int code) {
  if (code == EINTR) return TryOutcome::kInterrupted;
  if (code == ETIMEDOUT || code == EAGAIN) return TryOutcome::kTimeout;
  // libmodbus's own codes: CRC, length, exceptions, ...; our frame checks.
  if (code >= MODBUS_ENOBASE || code == EBADMSG) return TryOutcome::kBadReply;
  // EIO, ECONNRESET (end of file on a hung-up terminal), ENOENT, EBADF...
  return TryOutcome::kPortError;
}

}  // namespace gw::line
