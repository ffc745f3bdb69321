#include "simulator/server.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A request frame that stops arriving for this long is dropped. At 9600
// baud a byte takes about 1 ms; the margin covers a loaded machine.
constexpr auto kFrameGap = std::chrono::milliseconds(200);
constexpr int kTickMs = 50;  // scenario and signal checks while idle

class Server {
 public:
  Server(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults)
      : line_(line), units_(units), scenario_(scenario), faults_(faults) {}

  void tick() {
    const double now = seconds();
    for (auto& [slave, unit] : units_) {
      unit.advance(now);
      for (const ScenarioEvent& event : scenario_.apply_due(now, unit))
        std::cout << "scenario " << event.at_seconds << " s: slave " << slave << ' ' << event.flag
                  << ' ' << (event.on ? "on" : "off") << std::endl;
    }
  }

  // Reads what the line has and answers every complete request.
  bool take_input() {
    uint8_t bytes[512];
    const ssize_t count = ::read(line_.fd(), bytes, sizeof bytes);
    if (count <= 0) return count == 0 || errno == EAGAIN || errno == EINTR;
    if (frames_.empty()) frame_start_ = Clock::now();
    frames_.append(bytes, static_cast<size_t>(count));
    while (auto frame = frames_.next_frame()) {
      answer(*frame);
      frame_start_ = Clock::now();
    }
    return true;
  }

  void drop_stale_partial_frame() {
    if (!frames_.empty() && Clock::now() - frame_start_ > kFrameGap) frames_.clear();
  }

 private:
  double seconds() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

  void answer(const std::vector<uint8_t>& frame) {
    if (!crc_matches(frame.data(), frame.size())) return;  // a master retries
    tick();
    const Answer answer = answer_request(frame.data(), frame.size(), units_, faults_.echo_override);
    if (!answer.note.empty()) std::cout << "write " << answer.note << std::endl;
    if (answer.reply.empty() || faults_.silent) return;
    line_.send(answer.reply, faults_.corrupt);
  }

  Line& line_;
  Units& units_;
  ScenarioPlayer& scenario_;
  Faults& faults_;
  FrameAssembler frames_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point frame_start_;
};

void switch_faults(Faults& faults, Requests& requests) {
  if (requests.fall_silent) {
    requests.fall_silent = 0;
    faults.silent = true;
    std::cout << "silent" << std::endl;
  }
  if (requests.answer_again) {
    requests.answer_again = 0;
    faults.silent = false;
    std::cout << "answering" << std::endl;
  }
}

}  // namespace

void serve(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults, Requests& requests) {
  Server server(line, units, scenario, faults);
  while (!requests.stop) {
    switch_faults(faults, requests);
    server.tick();
    pollfd waiting{line.fd(), POLLIN, 0};
    const int ready = ::poll(&waiting, 1, kTickMs);
    if (ready > 0 && !server.take_input()) {
      std::perror("norvane-sim: reading the line");
      return;
    }
    server.drop_stale_partial_frame();
  }
}

}  // namespace sim
