// Norvane: the device class of the precision air-conditioning unit.
//
// A poll round is four register reads (registers 1-4, 7-10, 13-15, 22-65);
// each reply is copied as it is into the record, and the fourth completes
// the round. A write command is judged by the first word of the unit's echo.
#pragma once

#include <atomic>

#include "device/uni_data_device.h"
#include "driver/norvane_record.h"
#include "host/framework.h"

namespace norvane {

// Values of `step`: the exchange that the next reply belongs to.
enum Step : int {
  kStepReadSetPoints = 11,    // registers 1-4
  kStepReadLimits = 12,       // registers 7-10
  kStepReadSwitches = 13,     // registers 13-15
  kStepReadStatus = 14,       // registers 22-65; completes the round
  kStepAckOn = 100,           // echo of "unit on" must be 1
  kStepAckOff = 102,          // echo of "unit off" must be 0
  kStepAckTemperature = 106,  // echo of a temperature set point must be expected_value
  kStepAckHumidity = 110,     // echo of a humidity set point must be expected_value
  kStepOnOffRequest = 320,    // an on/off request that has not led to a write
};

// Outcomes of a write command, as command_result holds them.
enum CommandResult : int { kCommandPending = -1, kCommandDone = 1, kCommandFailed = 3 };

static_assert(kPollBlocks[0].step == kStepReadSetPoints &&
                  kPollBlocks[kPollBlockCount - 1].step == kStepReadStatus,
              "the poll steps are the steps of the register blocks");

}  // namespace norvane

class Norvane : public UniDataDevice<Norvane_Data_t, SPModbus, norvane::kRecordType> {
 public:
  Norvane();
  ~Norvane() override;

  // Serves no single value; always throws std::out_of_range saying why:
  // data not ready before the first completed round, data timed out when the
  // last one ended more than 60 s ago, variable not supported otherwise
  // (texts in driver/texts_zh.h). Takes no lock.
  double Get_Value(unsigned int index, const std::string& name) const override;
  // 310 set point, 320 on/off, 801 report text, 803 report address; any
  // other code writes command_result to `out` and goes on to the host.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_size) override;
  int InitSetting(const Json::Value& settings) override;
  int RefreshStatus() override;
  int process_payload(tab_type table, unsigned int count) override;
  // The unit's eight alarm conditions, when b_mode is 2.
  void RunCheckThreshold() override;

  // Outcome of the last write command: -1 pending (or none yet), 1 done,
  // 3 failed. Written by the command and reply paths, read by the result
  // query, possibly on different host threads.
  std::atomic<int> command_result{norvane::kCommandPending};
  // The word that the echo of a write must carry: for a set point the word
  // written (0 to 65535), 1 after "on", 0 after "off"; -1 at first.
  std::atomic<int> expected_value{-1};
  // What `report` shows, guarded by report_mutex: the round_count it was
  // built for, and the record it was built from (its text members are
  // replaced only where this record's words differ); and the rebuilds so
  // far, at most one per request that finds a new round.
  unsigned report_round = 0;
  Norvane_Data_t report_record{};
  unsigned report_builds = 0;

 private:
  // The six arguments of a DeviceIoControl request.
  struct ControlRequest {
    int code;
    const void* in;
    int in_len;
    void* out;
    int out_len;
    int& out_size;
  };

  int take_poll_reply(const norvane::RegisterBlock& block);
  int judge_echo(bool accepted);

  // Status report; report_mutex is held from the check for a new round
  // through the rebuild and the serialisation.
  void bring_report_up_to_date();
  int report_as_text(void* out, int out_len, int& out_size);
  int report_address(void* out, int out_len, int& out_size);

  // Commands and the result query.
  int set_point_command(const ControlRequest& request);
  int on_off_command(const ControlRequest& request);
  void answer_result_query(void* out, int out_len, int& out_size) const;
  int pass_on(const ControlRequest& request);
};
