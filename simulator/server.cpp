#include "simulator/server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "simulator/paced_io.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A request frame that stops arriving for this long is dropped. At 9600
// baud a byte takes about 1 ms; the margin covers a loaded machine.
constexpr auto kFrameGap = std::chrono::milliseconds(200);
constexpr int kTickMs = 50;  // scenario and signal checks while idle

class Server {
 public:
  Server(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults, const Timing& timing)
      : line_(line), units_(units), scenario_(scenario), faults_(faults), timing_(timing) {
    if (timing.pace) wire_.emplace(line.framing(), timing.turnaround);
  }

  void tick() {
    const double now = seconds();
    // Every unit plays the scenario: each event once, for each of them.
    const std::vector<ScenarioEvent> due = scenario_.take_due(now);
    for (auto& [slave, unit] : units_) {
      unit.advance(now);
      for (const ScenarioEvent& event : due) {
        apply(event, unit);
        std::cout << "scenario " << event.at_seconds << " s: slave " << slave << ' ' << event.flag
                  << ' ' << event.state << std::endl;
      }
    }
  }

  // Reads what the line has and answers every complete request.
  bool take_input() {
    uint8_t bytes[512];
    const ssize_t count = ::read(line_.fd(), bytes, sizeof bytes);
    if (count <= 0) return count == 0 || errno == EAGAIN || errno == EINTR;
    const TimePoint seen = MonotonicClock::now();
    if (frames_.empty()) {
      frame_start_ = Clock::now();
      first_seen_ = seen;
    }
    frames_.append(bytes, static_cast<size_t>(count));
    while (auto frame = frames_.next_frame()) {
      answer(*frame, seen);
      frame_start_ = Clock::now();
      first_seen_ = seen;  // what is left came in with this read
    }
    return true;
  }

  void drop_stale_partial_frame() {
    if (!frames_.empty() && Clock::now() - frame_start_ > kFrameGap) frames_.clear();
  }

  // Paced: how soon the master asked again after a reply.
  void print_turnarounds() const {
    if (!wire_ || wire_->turnarounds().count == 0) return;
    const Turnarounds& seen = wire_->turnarounds();
    const auto ms = [](Nanoseconds time) {
      return std::chrono::duration<double, std::milli>(time).count();
    };
    std::cout << "master turnaround after a reply: mean " << ms(seen.total / seen.count)
              << " ms, longest " << ms(seen.longest) << " ms, " << seen.count << " requests, "
              << seen.within_interval << " sent within the silent interval of "
              << ms(wire_->silent_interval()) << " ms" << std::endl;
  }

 private:
  double seconds() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

  // A frame whose last bytes came in at `last_seen`.
  void answer(const std::vector<uint8_t>& frame, TimePoint last_seen) {
    // Every frame kept the line busy, whoever it was for.
    const TimePoint request_end =
        wire_ ? wire_->frame_in(first_seen_, last_seen, frame.size()).end : last_seen;
    if (!crc_matches(frame.data(), frame.size())) return;  // a master retries
    tick();
    const Answer answer = answer_request(frame.data(), frame.size(), units_, faults_.answers);
    if (!answer.note.empty()) std::cout << answer.note << std::endl;
    if (answer.reply.empty() || faults_.silent) return;
    send(rtu_frame(answer.reply, faults_.corrupt), request_end);
  }

  void send(const std::vector<uint8_t>& reply, TimePoint request_end) {
    if (!wire_) {
      if (timing_.turnaround.count() > 0) sleep_until(request_end + timing_.turnaround);
      line_.send(reply);
      return;
    }
    // Late (a loaded machine): the reply starts now, still one character
    // time per character.
    const TimePoint start = std::max(wire_->reply_start(request_end), MonotonicClock::now());
    if (const auto end = write_paced(line_.fd(), reply, start, *wire_)) wire_->frame_out(*end);
  }

  Line& line_;
  Units& units_;
  ScenarioPlayer& scenario_;
  Faults& faults_;
  const Timing& timing_;
  std::optional<WireClock> wire_;  // when paced
  FrameAssembler frames_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point frame_start_;  // for dropping a partial frame
  TimePoint first_seen_;           // when the first byte of the frame in progress came in
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

void serve(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults, const Timing& timing,
           Requests& requests) {
  Server server(line, units, scenario, faults, timing);
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
  server.print_turnarounds();
}

}  // namespace sim
