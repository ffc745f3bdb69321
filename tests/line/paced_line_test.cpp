// norvane-fault-line as a program: its command line, and --pace timed at
// both of its ends, with the test as the master and as the unit.
#include <pty.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include <gmock/gmock.h>

#include "tests/support/process.h"
#include "tests/support/rtu_peer.h"

#ifndef NORVANE_FAULT_LINE
#error "NORVANE_FAULT_LINE names the built fault line"
#endif

namespace {

using rtupeer::after;
using rtupeer::Clock;
using rtupeer::Lateness;
using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

std::vector<std::string> fault_line(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NORVANE_FAULT_LINE};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

TEST(FaultLineCommandLine, HelpListsEveryOptionAndMistakesExitTwo) {
  testproc::Process help(fault_line({"--help"}));
  EXPECT_EQ(help.wait_exit(), 0);
  for (const char* option :
       {"--unit", "--link", "--faults", "--every", "--total", "--seed", "--silence", "--late-ms",
        "--gone-ms", "--baud", "--parity", "--data-bits", "--stop-bits", "--pace", "--version"})
    EXPECT_THAT(help.out(), HasSubstr(option));
  testproc::Process version(fault_line({"--version"}));
  EXPECT_EQ(version.wait_exit(), 0);
  EXPECT_THAT(version.out(), HasSubstr("norvane-fault-line "));
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--link", "x"},
        {"--unit=u", "--link=l", "--every=3"},
        {"--unit", "u", "--link", "l", "--faults", "drop,flood"}}) {
    testproc::Process run(fault_line(wrong));
    EXPECT_EQ(run.wait_exit(), 2) << wrong.back();
    EXPECT_THAT(run.err(), HasSubstr("norvane-fault-line: ")) << wrong.back();
  }
}

// The test plays the unit on a pseudo-terminal of its own and the master on
// the fault line's link, at 19,200 baud 8E1: 11 bits, 0.573 ms a character.
TEST(PacedFaultLine, PacesTheRequestToTheUnitAndTheReplyToTheMaster) {
  int unit_fd = -1, unit_terminal = -1;
  char unit_path[256] = {};
  ASSERT_EQ(openpty(&unit_fd, &unit_terminal, unit_path, nullptr, nullptr), 0);
  rtupeer::Terminal unit(unit_fd);
  testproc::TempDir dir;
  testproc::Process line(fault_line({"--unit", unit_path, "--link", dir.file("ttyLINE"), "--pace",
                                     "--baud", "19200", "--parity", "even"}));
  ASSERT_TRUE(line.next_line("link ")) << line.err();
  ::close(unit_terminal);  // the fault line holds its own
  rtupeer::Terminal master(dir.file("ttyLINE"));

  const double t = 11.0 / 19200;
  const Bytes request = rtupeer::with_crc({1, 3, 0, 22, 0, 44});
  Bytes reply{1, 3, 88};
  reply.resize(91, 0x5a);
  reply = rtupeer::with_crc(reply);
  auto exchange = [&] {
    const Clock::time_point sent = master.send(request);
    // The request's characters reach the unit one at a time from the
    // moment it went out; the reply's reach the master from 3.5 characters
    // after the request's end.
    const Lateness request_late = rtupeer::paced_lateness(unit.receive(8), 8, after(sent, t), t);
    unit.send(reply);  // at once
    const Lateness reply_late =
        rtupeer::paced_lateness(master.receive(93), 93, after(sent, (8 + 3.5 + 1) * t), t);
    return Lateness{std::max(request_late.start_s, reply_late.start_s),
                    std::max(request_late.end_s, reply_late.end_s)};
  };
  exchange();  // a process just started is slow at first
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rtupeer::expect_on_time(exchange);
  if (HasFailure()) {
    line.drain();
    std::cerr << "fault line:\n" << line.out() << line.err();
  }
}

}  // namespace
