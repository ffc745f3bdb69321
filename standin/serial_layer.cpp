#include "standin/serial_layer.h"

#include <algorithm>
#include <cstring>

#include "standin/host_state.h"

namespace standin {

std::optional<ModbusRequest> outstanding_request(const SPModbus& device) {
  return device.host_state->outstanding;
}

int deliver_reply(SPModbus& device, const uint16_t* words, int count) {
  count = std::clamp(count, 0, SPModbus::kMaxRegisters);
  std::memcpy(device.rx_registers, words, sizeof(uint16_t) * static_cast<size_t>(count));
  return device.process_payload(SPModbus::TAB_REGISTERS, static_cast<unsigned int>(count));
}

Served serve_request(SPModbus& device) {
  std::optional<ModbusRequest>& outstanding = device.host_state->outstanding;
  if (!outstanding) return Served::kNothingOutstanding;
  const ModbusRequest request = *outstanding;
  // The reply answers this request; whatever the device asks next is new.
  outstanding.reset();

  uint16_t words[SPModbus::kMaxRegisters] = {};
  const int count =
      installed().link == nullptr ? -1 : installed().link->transact(device, request, words);
  const int wanted = request.function == ModbusRequest::kReadHoldingRegisters ? request.count : 1;
  if (count != wanted) {
    device.on_error();
    return Served::kFailed;
  }
  deliver_reply(device, words, count);
  return Served::kDelivered;
}

ExchangeOutcome serve_exchange(SPModbus& device, int max_requests) {
  ExchangeOutcome outcome;
  for (int i = 0; i < max_requests; ++i) {
    const Served served = serve_request(device);
    if (served == Served::kNothingOutstanding) break;
    if (served == Served::kFailed) {
      outcome.failed = true;
      break;
    }
    ++outcome.replies;
  }
  return outcome;
}

}  // namespace standin
