// norvane-fault-line: a Modbus RTU line between the gateway and a unit that
// spoils some of the unit's replies, for fault tests.
//
//   norvane-fault-line --unit PTY --link PATH [--faults all|KIND,KIND...]
//                      [--every N] [--total N] [--seed N] [--silence N]
//                      [--late-ms MS] [--gone-ms MS]
//
// It opens the unit's pseudo-terminal PTY, opens one of its own for the
// gateway and points the symbolic link PATH at it, then forwards every
// request to the unit and every reply back, spoiling exchanges as the
// fault plan says (tests/line/faults.h): the kinds given, in turn, one
// every N exchanges on average (default 8), TOTAL faults in all (default:
// no end), a silence spoiling N exchanges (default 2), a late reply held
// back MS milliseconds (default 750: set it between one and two of the
// gateway's response timeouts), the gateway's terminal away for MS
// milliseconds (default 300).
//
// Output: "link PATH -> TERMINAL" once the gateway may open PATH (and again
// after each return), "fault KIND at exchange E" for each fault, "faults
// done at exchange E" after the total; on SIGTERM or SIGINT, per kind
// "injected KIND faults F spoiled S", then "exchanges E unanswered U" (U:
// requests the unit itself left unanswered), and it exits with 0.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>

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
};

[[noreturn]] void usage_error(const std::string& message) {
  std::cerr << "norvane-fault-line: " << message << "\n"
            << "usage: norvane-fault-line --unit PTY --link PATH [--faults all|KIND,KIND...]\n"
            << "                          [--every N] [--total N] [--seed N] [--silence N]\n"
            << "                          [--late-ms MS] [--gone-ms MS]\n";
  std::exit(2);
}

long number_in(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high)
    usage_error(option + " takes a whole number from " + std::to_string(low) + " to " +
                std::to_string(high));
  return value;
}

std::vector<line::Fault> fault_list(const std::string& text) {
  if (text == "all") return {std::begin(line::kAllFaults), std::end(line::kAllFaults)};
  std::vector<line::Fault> faults;
  std::istringstream names(text);
  for (std::string name; std::getline(names, name, ',');) {
    const auto fault = line::fault_named(name);
    if (!fault) usage_error("no fault named '" + name + "'");
    faults.push_back(*fault);
  }
  return faults;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(option + " needs a value");
      return argv[++i];
    };
    if (option == "--unit")
      options.unit = value();
    else if (option == "--link")
      options.link = value();
    else if (option == "--faults")
      options.plan.kinds = fault_list(value());
    else if (option == "--every")
      options.plan.every =
          static_cast<int>(number_in(option, value(), line::kMinCleanGap, 1000000));
    else if (option == "--total")
      options.plan.total = number_in(option, value(), 0, 1L << 40);
    else if (option == "--seed")
      options.plan.seed = static_cast<uint32_t>(number_in(option, value(), 0, 0xffffffffL));
    else if (option == "--silence")
      options.plan.silence_exchanges = static_cast<int>(number_in(option, value(), 1, 1000));
    else if (option == "--late-ms")
      options.late_ms = static_cast<int>(number_in(option, value(), 0, 600000));
    else if (option == "--gone-ms")
      options.gone_ms = static_cast<int>(number_in(option, value(), 0, 600000));
    else
      usage_error("unknown option " + option);
  }
  if (options.unit.empty() || options.link.empty()) usage_error("--unit and --link are required");
  return options;
}

class FaultLine {
 public:
  FaultLine(const Options& options, int unit_fd)
      : options_(options), unit_(unit_fd), gateway_(options.link), plan_(options.plan) {
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
    if (requests_.empty()) request_start_ = Clock::now();
    requests_.append(bytes, static_cast<size_t>(count));
    while (auto request = requests_.next_frame()) {
      exchange(*request);
      request_start_ = Clock::now();
    }
  }

  void exchange(const std::vector<uint8_t>& request) {
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
    const std::optional<std::vector<uint8_t>> reply = ask_unit(request);
    if (!reply) {
      ++unanswered_;
      return;
    }
    // A late reply holds up the line as a slow unit does: the gateway's
    // next try waits in the terminal meanwhile.
    if (fault == line::Fault::kLate) pause(options_.late_ms);
    const std::vector<uint8_t> sent = fault ? line::mangle(*fault, *reply, plan_.random()) : *reply;
    if (!sent.empty()) send_all(gateway_.fd(), sent);
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

  std::optional<std::vector<uint8_t>> ask_unit(const std::vector<uint8_t>& request) {
    uint8_t stale[256];
    while (::read(unit_, stale, sizeof stale) > 0) {
    }
    if (!send_all(unit_, request)) return std::nullopt;
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

  // Cut short by a stop signal.
  static void pause(int ms) {
    const timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
  }

  static bool send_all(int fd, const std::vector<uint8_t>& bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  const Options& options_;
  int unit_;
  line::LinkedPty gateway_;
  line::FaultPlan plan_;
  sim::FrameAssembler requests_;
  Clock::time_point request_start_;
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
