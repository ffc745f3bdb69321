#include "gateway/devices/state_acknowledgement.h"

#include <string>

#include "gateway/base/log.h"

namespace gw::devices {
namespace {

// Reads the run state until it shows `rule.state`, up to kStateReads times;
// false when a read got no answer or a stop came.
bool read_state(line::RtuLink& link, SPModbus& device, const StateAcknowledgement& rule,
                uint16_t* words) {
  const standin::ModbusRequest read{standin::ModbusRequest::kReadHoldingRegisters,
                                    rule.state_register, 1, 0};
  uint16_t shown = 0;
  for (int i = 0; i < kStateReads; ++i) {
    if (i > 0 && !link.pause(kStateReadSpacing)) return false;
    if (link.transact(device, read, &shown) != 1) return false;
    if (shown == rule.state) break;
  }
  if (shown != rule.state)
    base::log::warning(link.unit_label(device) + ": register " +
                       std::to_string(rule.state_register) + " shows " + std::to_string(shown) +
                       ", not " + std::to_string(rule.state) + ", " + std::to_string(kStateReads) +
                       " reads after the write");
  words[0] = shown;
  return true;
}

}  // namespace

int transact_acknowledged(line::RtuLink& link, SPModbus& device,
                          const standin::ModbusRequest& request, uint16_t* words) {
  const int answer = link.transact(device, request, words);
  if (answer < 0 || request.function == standin::ModbusRequest::kReadHoldingRegisters)
    return answer;
  const StateAcknowledgement* rule = state_acknowledgement(request.address, request.value);
  if (rule == nullptr) return answer;
  return read_state(link, device, *rule, words) ? 1 : -1;
}

}  // namespace gw::devices
