// Runs the simulated unit and the gateway as programs over a
// pseudo-terminal, and reads back what the gateway stored.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/support/process.h"

namespace harness {

using testproc::Process;

struct Finished {
  int status = -1;
  std::string out, err;
};

struct StoredRecord {
  std::string device;
  int data_id = 0;
  std::string time;
  std::string bytes;
};

struct StoredEvent {
  std::string device, signal_id, state, title, detail;
  int level = 0;
};

// The word of `reg` in a stored record: the four polled blocks (registers
// 1-4, 7-10, 13-15, 22-65) follow the 4-byte data id, little-endian.
uint16_t record_word(const std::string& record, int reg);
int32_t record_data_id(const std::string& record);

// The lines of `text` that start with `prefix`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix);

// The numbers of the gateway's summary of a unit: "summary NAME: rounds R
// completed C; requests Q timeouts T bad replies B port errors P given up
// G; history H records", and of its port: "summary port PATH: lost L
// reopened O". -1 where the output has none (the test then fails).
// "exceptions E" follows the bad replies where the gateway counts them.
struct Summary {
  long rounds = -1, completed = -1, requests = -1, timeouts = -1, bad = -1, exceptions = -1,
       port_errors = -1, given_up = -1, records = -1;
};
Summary summary_of(const std::string& out, const std::string& unit);
struct PortSummary {
  long lost = -1, reopened = -1;
};
PortSummary port_summary_of(const std::string& out);

// Waits until `done()` holds, asking every 50 ms, for `patience` at most;
// whether it held.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds patience = testproc::kPatience);

// One unit "ac1" at slave 1, data id 101, b_mode 2, supervising water on
// the floor (level 3); the control socket "control.sock" beside the file;
// a response timeout of 400 ms and one retry. `units` replaces the units
// array when given.
std::string config_text(const std::string& units = "");

// The same with more: `bus_fields` and `top_fields` ("name": value, ...)
// go into the bus and the top level.
struct ConfigParts {
  std::string units;
  int response_timeout_ms = 400;
  int retries = 1;
  std::string bus_fields;
  std::string top_fields;
};
std::string config_text(const ConfigParts& parts);

class GatewayTest : public ::testing::Test {
 protected:
  // Starts the simulator on a fresh pseudo-terminal with `args`.
  void start_unit(const std::vector<std::string>& args = {});
  void write_config(const std::string& text) { dir.write("config.json", text); }
  // The gateway's command line: config, plug-in, port and history first.
  std::vector<std::string> gateway_args(const std::vector<std::string>& args) const;
  Finished run_gateway(const std::vector<std::string>& args);
  std::unique_ptr<Process> start_gateway(const std::vector<std::string>& args);

  // norvane-gateway ctl on the configuration's control socket.
  std::vector<std::string> ctl_args(const std::vector<std::string>& args) const;
  Finished ctl(const std::vector<std::string>& args);
  // The unit's row of `ctl --json status` (null when the gateway has none).
  Json::Value unit_status(const std::string& name);

  std::vector<StoredRecord> records() const;
  std::vector<StoredEvent> events() const;
  // Runs SQL on the history database; fails the test on an error.
  void execute(const std::string& sql) const;

  testproc::TempDir dir;
  std::unique_ptr<Process> unit;
  std::string pty;
  std::string port;  // the gateway's --port when set; else the unit's pty
};

}  // namespace harness
