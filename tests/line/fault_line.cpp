// norvane-fault-line: a Modbus RTU line between the gateway and a unit that
// spoils some of the unit's replies, for fault tests.
// `norvane-fault-line --help` lists the options.
//
// It opens the unit's pseudo-terminal PTY, opens one of its own for the
// gateway and points the symbolic link PATH at it, then forwards every
// request to the unit and every reply back, spoiling exchanges as the
// fault plan says (tests/line/faults.h): the kinds given, in turn, one
// every N exchanges on average (default 8), TOTAL faults in all (default:
// no end), a silence spoiling N exchanges (default 2), a late reply held
// back MS milliseconds (default 750: set it between one and two of the
// gateway's response timeouts), the gateway's terminal away for MS
// milliseconds (default 300). With --pace it keeps the line's time in both
// directions (simulator/wire_time.h): a request reaches the unit, and a
// reply the gateway, one character at a time at the baud rate and framing
// given, with the silent interval between frames.
//
// Output: "link PATH -> TERMINAL" once the gateway may open PATH (and again
// after each return), "fault KIND at exchange E" for each fault, "faults
// done at exchange E" after the total; on SIGTERM or SIGINT, per kind
// "injected KIND faults F spoiled S", then "exchanges E unanswered U" (U:
// requests the unit itself left unanswered), and it exits with 0.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "simulator/command_line.h"
#include "simulator/paced_io.h"
#include "simulator/rtu_frames.h"
#include "tests/line/faults.h"
#include "tests/line/terminals.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The unit answers within a few milliseconds; this only bounds a wait for
// a unit that does not answer at all.
constexpr milliseconds kUnitReplyTimeout{2000};
// A request that stops arriving for this long is dropped (as the unit does).
constexpr milliseconds kFrameGap{200};
constexpr int kTickMs = 50;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop(int) { g_stop = 1; }

struct Options {
  std::string unit, link;
  line::FaultPlan::Settings plan;
  int late_ms = 750;
  int gone_ms = 300;
  sim::Framing framing;
  bool pace = false;
};

std::optional<std::vector<line::Fault>> read_fault_list(const std::string& text,
                                                        std::string& error) {
  if (text == "all")
    return std::vector<line::Fault>(std::begin(line::kAllFaults), std::end(line::kAllFaults));
  std::vector<line::Fault> faults;
  std::istringstream names(text);
  for (std::string name; std::getline(names, name, ',');) {
    const auto fault = line::fault_named(name);
    if (!fault) {
      error = "no fault named '" + name + "'";
      return std::nullopt;
    }
    faults.push_back(*fault);
  }
  return faults;
}

void add_plan_options(CLI::App& app, Options& options) {
  line::FaultPlan::Settings& plan = options.plan;
  app.add_option_function<std::string>(
         "--faults",
         [&plan](const std::string& text) {
           std::string error;
           plan.kinds = *read_fault_list(text, error);
         },
         "The kinds of fault, in turn: all, or some of drop, silence, late, crc, garbage, cut, "
         "short, slave, gone (default: none)")
      ->type_name("all|KIND,KIND...")
      ->check(sim::read_by(&read_fault_list, "KINDS"));
  app.add_option("--every", plan.every, "One fault every N exchanges on average, 4 or more")
      ->type_name("N")
      ->check(CLI::Range(line::kMinCleanGap, 1000000).description(""))
      ->capture_default_str();
  app.add_option("--total", plan.total, "Faults in all; 0: no end")
      ->type_name("N")
      ->check(CLI::Range(0L, 1L << 40).description(""))
      ->capture_default_str();
  app.add_option("--seed", plan.seed, "Seed of the fault plan's random numbers")
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--silence", plan.silence_exchanges,
                 "Exchanges that one silence spoils, 1 to 1000")
      ->type_name("N")
      ->check(CLI::Range(1, 1000).description(""))
      ->capture_default_str();
  app.add_option("--late-ms", options.late_ms,
                 "How long a late reply is held back: between one and two of the gateway's "
                 "response timeouts")
      ->type_name("MS")
      ->check(CLI::Range(0, 600000).description(""))
      ->capture_default_str();
  app.add_option("--gone-ms", options.gone_ms, "How long the gateway's terminal stays away")
      ->type_name("MS")
      ->check(CLI::Range(0, 600000).description(""))
      ->capture_default_str();
}

Options parse_options(int argc, char** argv) {
  Options options;
  CLI::App app(
      "A Modbus RTU line between a master and a unit that spoils some of the unit's replies, "
      "for fault tests. It prints \"link PATH -> TERMINAL\" once the master may open PATH; on "
      "SIGTERM or SIGINT the faults injected and the exchanges.");
  sim::describe_program(app, "norvane-fault-line");
  app.add_option("--unit", options.unit, "The unit's terminal (e.g. the simulated unit's pty)")
      ->type_name("PTY")
      ->required();
  app.add_option("--link", options.link,
                 "A symbolic link to create, naming the master's end of the line")
      ->type_name("PATH")
      ->required();
  add_plan_options(app, options);
  sim::add_framing_options(app, options.framing);
  sim::add_pace_option(app, options.pace);
  sim::parse_or_exit(app, argc, argv);
  return options;
}

class FaultLine {
 public:
  FaultLine(const Options& options, int unit_fd)
      : options_(options), unit_(unit_fd), gateway_(options.link), plan_(options.plan) {
    if (options.pace) wire_.emplace(options.framing, sim::Nanoseconds(0));
    announce_link();
  }

  void run() {
    while (!g_stop) {
      pollfd waiting{gateway_.fd(), POLLIN, 0};
      if (::poll(&waiting, 1, kTickMs) > 0) take_requests();
      if (!requests_.empty() && Clock::now() - request_start_ > kFrameGap) requests_.clear();
    }
  }

  void print_tallies() const {
    for (line::Fault fault : line::kAllFaults) {
      const line::FaultPlan::Tally& tally = plan_.tally(fault);
      std::cout << "injected " << line::fault_name(fault) << " faults " << tally.faults
                << " spoiled " << tally.spoiled << "\n";
    }
    std::cout << "exchanges " << plan_.exchanges() << " unanswered " << unanswered_ << std::endl;
  }

 private:
  void announce_link() {
    std::cout << "link " << gateway_.link() << " -> " << gateway_.path() << std::endl;
  }

  void take_requests() {
    uint8_t bytes[512];
    const ssize_t count = ::read(gateway_.fd(), bytes, sizeof bytes);
    if (count <= 0) return;
    const sim::TimePoint seen = sim::MonotonicClock::now();
    if (requests_.empty()) {
      request_start_ = Clock::now();
      first_seen_ = seen;
    }
    requests_.append(bytes, static_cast<size_t>(count));
    while (auto request = requests_.next_frame()) {
      // Unpaced, the request is there as it comes in.
      const sim::FrameTimes times =
          wire_ ? wire_->frame_in(first_seen_, seen, request->size()) : sim::FrameTimes{seen, seen};
      exchange(*request, times);
      request_start_ = Clock::now();
      first_seen_ = seen;
    }
  }

  void exchange(const std::vector<uint8_t>& request, const sim::FrameTimes& times) {
    const bool done_before = plan_.finished();
    const std::optional<line::Fault> fault = plan_.next_exchange();
    if (fault)
      std::cout << "fault " << line::fault_name(*fault) << " at exchange " << plan_.exchanges()
                << std::endl;
    if (!done_before && plan_.finished())
      std::cout << "faults done at exchange " << plan_.exchanges() << std::endl;
    if (fault == line::Fault::kGone) {
      go_away();
      return;
    }
    const std::optional<std::vector<uint8_t>> reply = ask_unit(request, times.start);
    if (!reply) {
      ++unanswered_;
      return;
    }
    // A late reply holds up the line as a slow unit does: the gateway's
    // next try waits in the terminal meanwhile.
    if (fault == line::Fault::kLate) pause(options_.late_ms);
    const std::vector<uint8_t> sent = fault ? line::mangle(*fault, *reply, plan_.random()) : *reply;
    if (!sent.empty()) send_reply(sent, times.end);
  }

  // The request in flight is never answered: the gateway's terminal hangs
  // up, and a new one comes up under the link after the pause.
  void go_away() {
    gateway_.vanish();
    requests_.clear();
    pause(options_.gone_ms);
    gateway_.appear();
    announce_link();
  }

  // Paced, the request's characters reach the unit as they would arrive
  // over the wire from `request_start` on.
  std::optional<std::vector<uint8_t>> ask_unit(const std::vector<uint8_t>& request,
                                               sim::TimePoint request_start) {
    uint8_t stale[256];
    while (::read(unit_, stale, sizeof stale) > 0) {
    }
    const bool sent = wire_ ? sim::write_paced(unit_, request, request_start, *wire_).has_value()
                            : sim::write_all(unit_, request.data(), request.size());
    if (!sent) return std::nullopt;
    std::vector<uint8_t> reply;
    const auto deadline = Clock::now() + kUnitReplyTimeout;
    for (;;) {
      const int length = line::reply_frame_length(reply.data(), reply.size());
      if (length < 0) return std::nullopt;
      if (length > 0 && reply.size() >= static_cast<size_t>(length)) {
        reply.resize(static_cast<size_t>(length));
        return reply;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      pollfd waiting{unit_, POLLIN, 0};
      if (left.count() <= 0 || g_stop || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0)
        return std::nullopt;
      uint8_t bytes[256];
      const ssize_t count = ::read(unit_, bytes, sizeof bytes);
      if (count > 0) reply.insert(reply.end(), bytes, bytes + count);
    }
  }

  // Paced, the reply starts a silent interval after the request's end, or
  // as soon as the unit's reply is all here (a slow unit, a late reply),
  // and its characters leave one character time apart.
  void send_reply(const std::vector<uint8_t>& reply, sim::TimePoint request_end) {
    if (!wire_) {
      sim::write_all(gateway_.fd(), reply.data(), reply.size());
      return;
    }
    const sim::TimePoint start =
        std::max(wire_->reply_start(request_end), sim::MonotonicClock::now());
    if (const auto end = sim::write_paced(gateway_.fd(), reply, start, *wire_))
      wire_->frame_out(*end);
  }

  // Cut short by a stop signal.
  static void pause(int ms) {
    const timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
  }

  const Options& options_;
  int unit_;
  line::LinkedPty gateway_;
  line::FaultPlan plan_;
  std::optional<sim::WireClock> wire_;  // when paced
  sim::FrameAssembler requests_;
  Clock::time_point request_start_;  // for dropping a partial frame
  sim::TimePoint first_seen_;        // when the first byte of the frame in progress came in
  long unanswered_ = 0;
};

void install_stop_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  try {
    install_stop_handlers();
    if (options.pace) sim::use_fine_timer_slack();
    const int unit = line::open_raw_terminal(options.unit);
    FaultLine fault_line(options, unit);
    fault_line.run();
    fault_line.print_tallies();
    ::close(unit);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "norvane-fault-line: " << error.what() << std::endl;
    return 1;
  }
}
