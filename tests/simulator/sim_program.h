// norvane-sim started as a program on its own pseudo-terminal, with the
// test as the master at the other end.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/rtu_peer.h"

#ifndef NORVANE_SIM
#error "NORVANE_SIM names the built simulator"
#endif

namespace simtest {

class SimProgram : public ::testing::Test {
 protected:
  // Starts the simulator with `args` and opens its pseudo-terminal.
  void start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{NORVANE_SIM};
    argv.insert(argv.end(), args.begin(), args.end());
    unit = std::make_unique<testproc::Process>(argv);
    const auto line = unit->next_line("pty ");
    ASSERT_TRUE(line) << "no pty: " << unit->err();
    master = std::make_unique<rtupeer::Terminal>(line->substr(4));
  }

  // Sends a request (without CRC) and returns the reply without its CRC,
  // empty when none came within `timeout`.
  std::vector<uint8_t> ask(const std::vector<uint8_t>& request,
                           rtupeer::milliseconds timeout = rtupeer::milliseconds(2000)) {
    master->send(rtupeer::with_crc(request));
    const rtupeer::Arrivals head = master->receive(3, timeout);
    if (head.bytes.size() < 3) return {};
    // slave, function, exception code | byte count and data | address and word, CRC
    const size_t length = (head.bytes[1] & 0x80) ? 5 : head.bytes[1] == 3 ? head.bytes[2] + 5u : 8u;
    std::vector<uint8_t> reply = head.bytes;
    const rtupeer::Arrivals tail = master->receive(length - std::min(length, reply.size()));
    reply.insert(reply.end(), tail.bytes.begin(), tail.bytes.end());
    EXPECT_EQ(rtupeer::with_crc({reply.begin(), reply.end() - 2}), reply) << "CRC";
    reply.resize(reply.size() - 2);
    return reply;
  }

  std::unique_ptr<testproc::Process> unit;
  std::unique_ptr<rtupeer::Terminal> master;
};

}  // namespace simtest
