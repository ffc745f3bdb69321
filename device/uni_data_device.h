// UniDataDevice: a device that keeps its unit's latest readings in one
// fixed-size packed record, announces it to the host after every completed
// round and can take back a record that the host kept.
//
//   Data      the packed record; it has an int32 `data_id` and a TTime
//             `update_time`, and is copied, sent and stored as raw bytes.
//   Protocol  the host's protocol class the device talks through (SPModbus).
//   TypeId    the record type under which the host files the record.
//
// A driver derives from it and supplies the register map, the poll steps
// (process_payload), the alarm checks (RunCheckThreshold) and its requests.
#pragma once

#include <cstdint>
#include <cstring>
#include <iostream>
#include <mutex>
#include <type_traits>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/local_clock.h"
#include "device/round_end.h"
#include "device/settings.h"
#include "host/framework.h"

template <typename Data, typename Protocol, int TypeId>
class UniDataDevice : public Protocol {
  static_assert(std::is_trivially_copyable<Data>::value, "the record is copied as raw bytes");
  static_assert(sizeof(Data) <= 0x7fffffff, "the record's size is passed as an int");

 public:
  static constexpr int kRecordSize = static_cast<int>(sizeof(Data));

  UniDataDevice() {
    std::memset(static_cast<void*>(&data), 0, sizeof data);
    std::memset(static_cast<void*>(&round_record), 0, sizeof round_record);
  }
  ~UniDataDevice() override = default;

  using Protocol::LoadFromCache;  // the string form stays visible

  // Takes a record that the host kept: exactly the record's size, whole,
  // data_id and update_time included, then completes a round with it.
  // Returns 1 if taken; 0 for a null pointer or any other length.
  int LoadFromCache(const unsigned char* bytes, int length) override {
    if (bytes == nullptr || length != kRecordSize) return 0;
    std::memcpy(static_cast<void*>(&data), bytes, sizeof data);
    RoundDone();  // sets data_state and last_data_time together
    return 1;
  }

  // The end of a completed round (or of an accepted reload): stamp the
  // record, hand it to the host, run the checks and store it.
  void RoundDone() override {
    const boost::posix_time::ptime now = device_clock::local_time();
    round_end.write(this->data_state, this->last_data_time, now);
    data.update_time = get_ttime(now);
    keep_round_record();
    this->SendSP(TypeId, &data, kRecordSize, false);
    this->Reset();
    this->round_status = 1;
    this->check_raised = false;
    RunCheckThreshold();
    check_analogue_signals();
    std::cout << "rvSize is " << this->rule_values.size() << std::endl;
    if (this->DoBatchCheckThreshold(this->rule_values)) this->check_raised = true;
    this->SaveDeviceHistory(&data, kRecordSize);
    this->rule_values.clear();
  }

  // Copies the host's data_id into the record and reads "appSetting"."b_mode";
  // the protocol's own InitSetting runs in every case and gives the result.
  int InitSetting(const Json::Value& settings) override {
    data.data_id = this->data_id;
    if (const auto mode = device_settings::mode_setting(settings)) b_mode = *mode;
    return Protocol::InitSetting(settings);
  }

  // The driver's alarm evaluation, run by every RoundDone; none here.
  virtual void RunCheckThreshold() {}

  Data data;                             // the unit's latest readings
  int b_mode = 1;                        // mode setting; the driver gives its values their meaning
  boost::posix_time::ptime report_time;  // last_data_time for which `report` was built
  std::mutex report_mutex;               // guards report, report_time, round_record, round_count
  Json::Value report;                    // the status report; null until first built

  // The record of the last completed round, stamped. The report is built
  // from this copy, never from `data`, which the poll path may be
  // overwriting with the next round at the same moment.
  Data round_record;
  // Rounds completed so far, counted under report_mutex. Two rounds may end
  // within one second, and so leave the same last_data_time; the count still
  // tells them apart.
  unsigned round_count = 0;

  // Guards this device's own writes of data_state and last_data_time against
  // readers on other threads (device/round_end.h); Get_Value and the report
  // read the two members through it.
  device_state::RoundEndCount round_end;

 private:
  void keep_round_record() {
    std::lock_guard<std::mutex> lock(report_mutex);
    round_record = data;
    ++round_count;
  }

  // For each analogue signal the host asked for, in order, that has a value:
  // report it and check its threshold. Ids without a value are skipped.
  void check_analogue_signals() {
    for (const std::string& id : this->ao_signal_ids) {
      const auto found = this->ao_values.find(id);
      if (found == this->ao_values.end()) continue;
      if (this->CheckAOReport(id, found->second)) this->check_raised = true;
      this->CheckThreshold(id, "", found->second, 1);
    }
  }
};
