// Bodies of the host framework's operations, delegating to the installed
// services. The defaults that plug-ins carry themselves are inline in
// host/device_defaults.h.
#include <utility>

#include "host/framework.h"
#include "standin/host_state.h"
#include "standin/services.h"

namespace standin {
namespace {
Services g_services;
}  // namespace

void install(const Services& services) { g_services = services; }
const Services& installed() { return g_services; }

const DeviceLog& device_log(const VDeviceInterface& device) { return device.host_state->log; }

int ModbusLink::open_port(SMDSPDevice&) { return 1; }
void ModbusLink::exchange_ended(SMDVDevice&) {}

}  // namespace standin

using standin::installed;

TTime get_ttime(const boost::posix_time::ptime& local_time) {
  TTime fields{};
  if (local_time.is_special()) return fields;
  const auto date = local_time.date();
  const auto clock = local_time.time_of_day();
  fields.year = static_cast<uint16_t>(date.year());
  fields.month = static_cast<uint8_t>(date.month());
  fields.day = static_cast<uint8_t>(date.day());
  fields.hour = static_cast<uint8_t>(clock.hours());
  fields.minute = static_cast<uint8_t>(clock.minutes());
  fields.second = static_cast<uint8_t>(clock.seconds());
  return fields;
}

// VDeviceInterface ---------------------------------------------------------

VDeviceInterface::VDeviceInterface() : host_state(new HostState) {}
VDeviceInterface::~VDeviceInterface() { delete host_state; }

int VDeviceInterface::LoadFromCache(const unsigned char*, int) { return 0; }
void VDeviceInterface::RoundDone() {}

// SMDVDevice ---------------------------------------------------------------

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) {
  if (installed().control == nullptr) return -1;  // the host knows no such code
  return installed().control->device_io_control(*this, code, in, in_len, out, out_len, out_size);
}

void SMDVDevice::Reset() {
  ++host_state->log.reset_calls;
  host_state->outstanding.reset();
  if (installed().link != nullptr) installed().link->exchange_ended(*this);
}

int SMDVDevice::InitV() { return 0; }
int SMDVDevice::Init(std::weak_ptr<SMDController>) { return 0; }

int SMDVDevice::InitSetting(const Json::Value& settings) {
  ++host_state->log.init_setting_calls;
  host_state->log.last_settings = settings;
  return 0;
}

bool SMDVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

bool SMDVDevice::SendSP(int type, const void* record, int length, bool delayed) {
  if (installed().records == nullptr) return false;
  return installed().records->announce(*this, type, record, length, delayed);
}

bool SMDVDevice::SendDelayData(int type, const void* record, int length) {
  return SendSP(type, record, length, true);
}

bool SMDVDevice::SendDoData(unsigned int, int) { return false; }
int SMDVDevice::ReadDi(unsigned int) { return 0; }
float SMDVDevice::ReadAi(unsigned int) { return 0.0f; }

float SMDVDevice::Get_SP_Value(const std::string& signal_id) {
  const auto found = ao_values.find(signal_id);
  return found == ao_values.end() ? 0.0f : found->second;
}

bool SMDVDevice::SaveDeviceHistory(const void* record, int length) {
  if (installed().records == nullptr) return false;
  return installed().records->save_history(*this, record, length);
}

bool SMDVDevice::CheckAOReport(const std::string& signal_id, float value) {
  if (installed().checks == nullptr) return false;
  return installed().checks->ao_report(*this, signal_id, value);
}

bool SMDVDevice::CheckThreshold(const std::string& signal_id, const std::string& name, float value,
                                int kind) {
  if (installed().checks == nullptr) return false;
  return installed().checks->threshold(*this, signal_id, name, value, kind);
}

bool SMDVDevice::CheckThresholdBool(int level, const std::string& signal_id,
                                    const std::string& related_id, const std::string& title,
                                    const std::string& detail, bool active, unsigned short kind) {
  if (installed().checks == nullptr) return false;
  return installed().checks->threshold_bool(*this, level, signal_id, related_id, title, detail,
                                            active, kind);
}

bool SMDVDevice::DoBatchCheckThreshold(std::vector<rule_value>& rules) {
  if (installed().checks == nullptr) return false;
  return installed().checks->batch_threshold(*this, rules);
}

// SMDSPDevice --------------------------------------------------------------

SMDSPDevice::SMDSPDevice() = default;
SMDSPDevice::~SMDSPDevice() = default;

// A new round starts over: a request still outstanding will get no reply.
int SMDSPDevice::RefreshStatus() {
  ++host_state->log.refresh_calls;
  host_state->outstanding.reset();
  return 1;
}

int SMDSPDevice::process() { return 0; }
bool SMDSPDevice::IsProcessing() const { return host_state->outstanding.has_value(); }
bool SMDSPDevice::IsStalled() const { return false; }
int SMDSPDevice::SendData(const unsigned char*, int) { return -1; }
int SMDSPDevice::SendParityData(const unsigned char*, int, EnumParity) { return -1; }

int SMDSPDevice::OpenPort() {
  ++host_state->log.open_port_calls;
  if (installed().link == nullptr) return 0;
  return installed().link->open_port(*this);
}

int SMDSPDevice::ClosePort() { return 1; }

// SPModbus -----------------------------------------------------------------

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

int SPModbus::modbus_read_registers(int address, int count) {
  if (address < 0 || count < 1 || count > kMaxRegisters || address + count > 0x10000) return -1;
  standin::ModbusRequest request;
  request.function = standin::ModbusRequest::kReadHoldingRegisters;
  request.address = address;
  request.count = count;
  host_state->outstanding = request;
  return 1;
}

int SPModbus::modbus_write_register(int address, int value) {
  if (address < 0 || address > 0xffff || value < -0x8000 || value > 0xffff) return -1;
  standin::ModbusRequest request;
  request.function = standin::ModbusRequest::kWriteSingleRegister;
  request.address = address;
  request.count = 1;
  request.value = value & 0xffff;
  host_state->outstanding = request;
  return 1;
}
