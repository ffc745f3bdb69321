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

  int InitSetting(const Json::Value& settings) override;
  int RefreshStatus() override;
  int process_payload(tab_type table, unsigned int count) override;

  // Outcome of the last write command: -1 pending (or none yet), 1 done,
  // 3 failed. Written by the command and reply paths, read by the result
  // query, possibly on different host threads.
  std::atomic<int> command_result{norvane::kCommandPending};
  // The word that the echo of a set-point write must carry; -1 at first.
  std::atomic<int> expected_value{-1};

 private:
  int take_poll_reply(const norvane::RegisterBlock& block);
  int judge_echo(bool accepted);
};
