#include "tests/line/stored_checks.h"

#include <sstream>

#include "simulator/unit_model.h"
#include "tests/line/faults.h"

namespace line {
namespace {

constexpr size_t kRecordSize = 121;

// The register blocks of a round.
struct Block {
  int first, last;
};
constexpr Block kPolledBlocks[] = {{1, 4}, {7, 10}, {13, 15}, {22, 65}};

// Registers that move while the unit runs, with the range they stay in at
// the unit's set points (24.0 C, 50.0 %; simulator/unit_model.cpp): return
// and supply air, tenths.
struct Drifting {
  int reg;
  int low, high;
};
constexpr Drifting kDrifting[] = {{22, 220, 250}, {23, 440, 520}, {24, 165, 195}, {25, 510, 590}};

bool is_flag(int reg) {
  for (const SupervisedFlag& flag : kSupervisedFlags)
    if (flag.reg == reg) return true;
  return false;
}

// Why the word of `reg` cannot be the unit's; empty when it can.
std::string word_fault(int reg, uint16_t word, const sim::UnitModel& unit) {
  std::ostringstream why;
  why << "register " << reg << " holds " << word;
  if (word == kMarkerWord) return why.str() + ", the marker of a spoiled reply";
  if (reg == sim::kHeartbeat) return "";
  if (is_flag(reg)) return word <= 1 ? "" : why.str() + ", not a flag";
  for (const Drifting& drifting : kDrifting)
    if (drifting.reg == reg)
      return word >= drifting.low && word <= drifting.high ? "" : why.str() + ", out of range";
  return word == unit.get(reg) ? "" : why.str() + " instead of " + std::to_string(unit.get(reg));
}

}  // namespace

std::string flag_scenario(double seconds) {
  std::ostringstream text;
  text.precision(10);
  text << "# fault flags on and off, each every period of its own\n";
  for (const SupervisedFlag& flag : kSupervisedFlags) {
    for (long turn = 1; turn * flag.period_s < seconds; ++turn)
      text << turn * flag.period_s << ' ' << flag.scenario_name << (turn % 2 ? " on\n" : " off\n");
  }
  return text.str();
}

std::string record_fault(const std::string& record, int data_id) {
  if (record.size() != kRecordSize)
    return "a record of " + std::to_string(record.size()) + " bytes";
  if (harness::record_data_id(record) != data_id)
    return "data id " + std::to_string(harness::record_data_id(record));
  const sim::UnitModel unit;  // the registers that never change hold their first values
  for (const Block& block : kPolledBlocks)
    for (int reg = block.first; reg <= block.last; ++reg) {
      const std::string why = word_fault(reg, harness::record_word(record, reg), unit);
      if (!why.empty()) return why;
    }
  return "";
}

long check_alarms_follow_records(const std::vector<harness::StoredRecord>& records,
                                 const std::vector<harness::StoredEvent>& events) {
  long count = 0;
  for (const SupervisedFlag& flag : kSupervisedFlags) {
    std::vector<std::string> states;
    for (const harness::StoredEvent& event : events)
      if (event.signal_id == flag.signal_id) states.push_back(event.state);
    for (size_t i = 0; i < states.size(); ++i)
      EXPECT_EQ(states[i], i % 2 == 0 ? "raised" : "cleared")
          << flag.signal_id << ": event " << i << " does not alternate";
    long changes = 0;
    bool on = false;
    for (const harness::StoredRecord& record : records) {
      const bool now_on = harness::record_word(record.bytes, flag.reg) != 0;
      changes += now_on != on;
      on = now_on;
    }
    EXPECT_EQ(static_cast<long>(states.size()), changes)
        << flag.signal_id << ": one event for every change of register " << flag.reg;
    EXPECT_EQ(!states.empty() && states.back() == "raised", on)
        << flag.signal_id << ": the alarm's state at the end is not the unit's flag";
    count += static_cast<long>(states.size());
  }
  return count;
}

}  // namespace line
