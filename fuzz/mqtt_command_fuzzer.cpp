// Commands from the MQTT broker, entered where the broker's messages enter:
// a topic under the base and any payload bytes, parsed as the gateway's
// MQTT output parses them, and a refusal built as it publishes it.
// Properties: a command is within its range; a refusal says why and its
// JSON is valid UTF-8 that parses back.
#include <json/json.h>

#include "gateway/base/utf8.h"
#include "gateway/outputs/mqtt_messages.h"

namespace {

const char* const kLeaves[] = {"temperature", "humidity", "power", "mode", "fan", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  namespace mqtt = gw::outputs::mqtt;
  const mqtt::Topics topics{"norvane/test"};
  const std::string topic = std::string("norvane/test/ac1/set/") +
                            kLeaves[data[0] % (sizeof kLeaves / sizeof kLeaves[0])];
  const std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<mqtt::ReceivedCommand> received = mqtt::parse_command(topics, topic, payload);
  if (!received || received->unit != "ac1") __builtin_trap();
  if (received->command) {
    if (received->command->value < -999 || received->command->value > 999) __builtin_trap();
    return 0;
  }
  if (received->error.empty() || !gw::base::valid_utf8(received->error)) __builtin_trap();
  const std::string published = mqtt::command_payload(
      received->unit, std::chrono::system_clock::now(), topic, "refused", false, received->error);
  Json::Value value;
  if (!gw::base::valid_utf8(published) || !Json::Reader().parse(published, value) ||
      value["detail"].asString() != received->error)
    __builtin_trap();
  return 0;
}
