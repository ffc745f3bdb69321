#include "tests/line/faults.h"

#include <algorithm>
#include <iterator>

#include "simulator/rtu_frames.h"

namespace line {
namespace {

constexpr const char* kNames[] = {"drop", "silence", "late",  "crc", "garbage",
                                  "cut",  "short",   "slave", "gone"};

// kAllFaults lists every fault once, in the order of their values, which
// index the names and the plan's tallies.
constexpr bool every_fault_in_order() {
  for (size_t i = 0; i < std::size(kAllFaults); ++i)
    if (static_cast<size_t>(kAllFaults[i]) != i) return false;
  return static_cast<size_t>(Fault::kGone) + 1 == std::size(kAllFaults) &&
         std::size(kNames) == std::size(kAllFaults);
}
static_assert(every_fault_in_order());

constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kExceptionBit = 0x80;
constexpr int kLastSlave = 247;

int uniform(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

// The frame without its CRC.
std::vector<uint8_t> body_of(const std::vector<uint8_t>& frame) {
  return {frame.begin(), frame.end() - std::min<size_t>(2, frame.size())};
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> body) {
  const uint16_t crc = sim::crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc & 0xff));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

bool is_read_reply(const std::vector<uint8_t>& body) {
  return body.size() >= 3 && body[1] == kReadHoldingRegisters && body.size() == 3u + body[2];
}

void fill_with_marker(std::vector<uint8_t>& body, size_t from) {
  for (size_t i = from; i + 1 < body.size(); i += 2) {
    body[i] = kMarkerWord >> 8;
    body[i + 1] = kMarkerWord & 0xff;
  }
}

// A read reply with fewer registers, marked; any other frame one field
// shorter. Either way the CRC is valid.
std::vector<uint8_t> short_frame(std::vector<uint8_t> body, std::mt19937& random) {
  if (is_read_reply(body) && body[2] >= 2) {
    const int words = uniform(random, 0, body[2] / 2 - 1);
    body.resize(3 + 2 * static_cast<size_t>(words));
    body[2] = static_cast<uint8_t>(2 * words);
    fill_with_marker(body, 3);
  } else {
    body.resize(std::max<size_t>(2, body.size() - 2));
  }
  return with_crc(std::move(body));
}

std::vector<uint8_t> other_slaves_frame(std::vector<uint8_t> body, std::mt19937& random) {
  const int slave = body[0];
  int other = uniform(random, 1, kLastSlave - 1);
  if (other >= slave) ++other;
  body[0] = static_cast<uint8_t>(other);
  fill_with_marker(body, is_read_reply(body) ? 3 : 4);  // a write's echo keeps its address
  return with_crc(std::move(body));
}

std::vector<uint8_t> garbage(size_t reply_length, std::mt19937& random) {
  std::vector<uint8_t> bytes(static_cast<size_t>(uniform(random, 1, int(reply_length) + 8)));
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(uniform(random, 0, 255));
  if (sim::crc_matches(bytes.data(), bytes.size())) bytes.back() ^= 0x01;
  return bytes;
}

}  // namespace

const char* fault_name(Fault fault) { return kNames[static_cast<size_t>(fault)]; }

std::optional<Fault> fault_named(const std::string& name) {
  for (Fault fault : kAllFaults)
    if (name == fault_name(fault)) return fault;
  return std::nullopt;
}

int reply_frame_length(const uint8_t* bytes, size_t have) {
  if (have < 2) return 0;
  const uint8_t function = bytes[1];
  if (function & kExceptionBit) return 5;  // slave, function, exception code, CRC
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      return have < 3 ? 0 : 5 + bytes[2];  // slave, function, byte count, data, CRC
    case 5:
    case 6:
    case 15:
    case 16:
      return 8;  // slave, function, address, value or count, CRC
    default:
      return -1;
  }
}

std::vector<uint8_t> mangle(Fault fault, const std::vector<uint8_t>& reply, std::mt19937& random) {
  switch (fault) {
    case Fault::kBadCrc: {
      std::vector<uint8_t> bytes = reply;
      bytes[bytes.size() - static_cast<size_t>(uniform(random, 1, 2))] ^=
          static_cast<uint8_t>(uniform(random, 1, 255));
      return bytes;
    }
    case Fault::kGarbage:
      return garbage(reply.size(), random);
    case Fault::kCut:
      return {reply.begin(), reply.begin() + uniform(random, 1, int(reply.size()) - 1)};
    case Fault::kShort:
      return short_frame(body_of(reply), random);
    case Fault::kWrongSlave:
      return other_slaves_frame(body_of(reply), random);
    case Fault::kLate:
      return reply;
    case Fault::kDrop:
    case Fault::kSilence:
    case Fault::kGone:
      break;
  }
  return {};
}

FaultPlan::FaultPlan(Settings settings) : settings_(std::move(settings)), random_(settings_.seed) {
  settings_.every = std::max(settings_.every, kMinCleanGap);
  clean_left_ = draw_gap();
}

long FaultPlan::draw_gap() {
  return uniform(random_, kMinCleanGap, 2 * settings_.every - kMinCleanGap);
}

std::optional<Fault> FaultPlan::next_exchange() {
  ++exchanges_;
  if (silent_left_ > 0) {
    --silent_left_;
    ++tallies_[static_cast<size_t>(Fault::kSilence)].spoiled;
    if (silent_left_ == 0) clean_left_ = draw_gap();
    return Fault::kSilence;
  }
  if (settings_.kinds.empty() || finished()) return std::nullopt;
  if (clean_left_ > 0) {
    --clean_left_;
    return std::nullopt;
  }
  const Fault fault = settings_.kinds[next_kind_];
  next_kind_ = (next_kind_ + 1) % settings_.kinds.size();
  ++injected_;
  Tally& tally = tallies_[static_cast<size_t>(fault)];
  ++tally.faults;
  ++tally.spoiled;
  if (fault == Fault::kSilence && settings_.silence_exchanges > 1) {
    silent_left_ = settings_.silence_exchanges - 1;
    return fault;
  }
  clean_left_ = draw_gap();
  return fault;
}

}  // namespace line
