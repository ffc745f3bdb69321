// Faults that the fault line injects into a Modbus RTU line, what each does
// to a reply of the unit, and which exchanges get one.
//
// An exchange is one request of the gateway and the unit's reply to it. A
// fault spoils whole exchanges: the gateway gets a wrong reply, part of one
// or none, or loses its port. Each fault is followed by at least
// kMinCleanGap clean exchanges, so that it stands alone: the gateway's next
// try of a spoiled request and the rest of its round go through.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace line {

enum class Fault {
  kDrop,        // the reply is lost
  kSilence,     // the unit answers nothing for a few exchanges in a row
  kLate,        // the whole reply, but after the gateway has stopped waiting for it
  kBadCrc,      // one CRC byte of the reply is wrong
  kGarbage,     // random bytes instead of the reply, never a frame with a valid CRC
  kCut,         // the reply's first bytes only, then nothing
  kShort,       // a whole frame with a valid CRC but fewer registers than asked for
  kWrongSlave,  // another slave's address, with a valid CRC
  kGone,        // the gateway's pseudo-terminal goes away, then a new one comes up
};

inline constexpr Fault kAllFaults[] = {Fault::kDrop,   Fault::kSilence,    Fault::kLate,
                                       Fault::kBadCrc, Fault::kGarbage,    Fault::kCut,
                                       Fault::kShort,  Fault::kWrongSlave, Fault::kGone};

// "drop", "silence", "late", "crc", "garbage", "cut", "short", "slave",
// "gone".
const char* fault_name(Fault fault);
std::optional<Fault> fault_named(const std::string& name);

// The word that fills the registers of the mangled replies that keep a
// valid CRC (short, wrong slave): the unit never holds it, so a record
// that took such a reply shows it.
inline constexpr uint16_t kMarkerWord = 0xFA17;

// Length of the reply frame (CRC included) whose first `have` bytes are
// given: 0 while more bytes are needed to tell, -1 for a function code
// whose reply length is not known.
int reply_frame_length(const uint8_t* bytes, size_t have);

// What the gateway gets instead of `reply` (a whole frame with its CRC)
// under `fault`: empty for the faults that send nothing, the reply itself
// for a late one (its sender holds it back).
std::vector<uint8_t> mangle(Fault fault, const std::vector<uint8_t>& reply, std::mt19937& random);

inline constexpr int kMinCleanGap = 4;  // exchanges

// Which exchanges get a fault and which: the kinds in turn, each after a
// random gap of clean exchanges (kMinCleanGap up to 2 * every - kMinCleanGap,
// `every` on average), up to `total` faults.
class FaultPlan {
 public:
  struct Settings {
    std::vector<Fault> kinds;
    int every = 8;              // clean exchanges between faults, on average; >= kMinCleanGap
    long total = 0;             // faults to inject; 0: no end
    int silence_exchanges = 2;  // exchanges that one silence spoils
    uint32_t seed = 1;
  };
  // Per fault kind: faults injected and exchanges they spoiled.
  struct Tally {
    long faults = 0;
    long spoiled = 0;
  };

  explicit FaultPlan(Settings settings);

  // The fault of the next exchange, if it gets one; counts it.
  std::optional<Fault> next_exchange();
  bool finished() const { return settings_.total > 0 && injected_ >= settings_.total; }
  long exchanges() const { return exchanges_; }
  const Tally& tally(Fault fault) const { return tallies_[static_cast<size_t>(fault)]; }
  std::mt19937& random() { return random_; }

 private:
  long draw_gap();

  Settings settings_;
  std::mt19937 random_;
  long exchanges_ = 0;
  long injected_ = 0;
  long clean_left_ = 0;   // clean exchanges before the next fault
  int silent_left_ = 0;   // exchanges that the silence in progress still spoils
  size_t next_kind_ = 0;  // index into settings_.kinds
  Tally tallies_[sizeof kAllFaults / sizeof kAllFaults[0]];
};

}  // namespace line
