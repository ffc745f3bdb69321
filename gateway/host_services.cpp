#include "gateway/host_services.h"

#include <ostream>

#include "gateway/commands.h"

namespace gw {

bool HistorySink::announce(SMDVDevice&, int, const void*, int, bool) { return true; }

bool HistorySink::save_history(SMDVDevice& device, const void* record, int length) {
  try {
    history_.save_record(names_.of(device), device.data_id, time_text(device.last_data_time),
                         record, length);
    return true;
  } catch (const HistoryError& error) {
    failure_.note(error.what());
    return false;
  }
}

void PrintedEventLog::record(const AlarmEvent& event) {
  out_ << "alarm " << event.device << ' ' << (event.raised ? "raised " : "cleared ")
       << event.signal_id << " level " << event.level << " at " << event.time << ": " << event.title
       << " (" << event.detail << ")" << std::endl;
  try {
    history_.save_event(event);
  } catch (const HistoryError& error) {
    failure_.note(error.what());
  }
}

int HostControl::device_io_control(SMDVDevice&, int code, const void*, int, void*, int, int&) {
  return code == kResultQueryCode ? 0 : -1;
}

}  // namespace gw
