// Independent peers: mbpoll reads and writes the simulated unit, and the
// gateway reads and writes a slave served by pymodbus, joined by socat.
#include <csignal>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;
using harness::record_word;
using testproc::Process;

class Peers : public harness::GatewayTest {
 protected:
  // One mbpoll call at 9600 8N1, slave 1, register numbers as addresses.
  Finished mbpoll(const std::vector<std::string>& args) {
    std::vector<std::string> argv{
        "/usr/bin/mbpoll", "-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-0", "-t", "4"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv);
    Finished run;
    run.status = process.wait_exit();
    run.out = process.out();
    return run;
  }
};

TEST_F(Peers, MbpollReadsAndWritesTheSimulatedUnit) {
  start_unit();
  Finished read = mbpoll({"-r", "22", "-c", "44", pty, "-1"});
  ASSERT_EQ(read.status, 0) << read.out;
  EXPECT_NE(read.out.find("[27]: \t1\n"), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("[65]: \t120\n"), std::string::npos) << "the last register";

  const Finished write = mbpoll({"-r", "13", pty, "85"});
  ASSERT_EQ(write.status, 0) << write.out;
  EXPECT_TRUE(unit->next_line("write slave 1 register 13 <- 85, echo 85"));
  read = mbpoll({"-r", "27", "-c", "1", pty, "-1"});
  EXPECT_NE(read.out.find("[27]: \t0\n"), std::string::npos) << "stopped: " << read.out;

  EXPECT_NE(mbpoll({"-r", "5", pty, "1"}).status, 0) << "register 5 takes no writes";
}

// A pymodbus slave on one end of a socat pair, the gateway's port on the
// other.
class PymodbusPeer : public Peers {
 protected:
  void start_slave(const std::vector<std::string>& options = {}) {
    socat_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/socat", "pty,raw,echo=0,link=" + dir.file("slave"),
                                 "pty,raw,echo=0,link=" + dir.file("master")});
    std::vector<std::string> argv{"/usr/bin/python3", PYMODBUS_UNIT, dir.file("slave")};
    argv.insert(argv.end(), options.begin(), options.end());
    slave_ = std::make_unique<Process>(argv);
    ASSERT_TRUE(slave_->next_line("ready")) << slave_->err();
    pty = dir.file("master");
    write_config(harness::config_text(R"([{"name": "pm", "slave": 1, "data_id": 7}])"));
  }

  std::unique_ptr<Process> socat_, slave_;
};

TEST_F(PymodbusPeer, GatewayReadsAndWritesAPymodbusSlave) {
  start_slave();
  const Finished run =
      run_gateway({"--set-temperature", "26", "--unit-off", "--unit-on", "--rounds", "1"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  for (const char* done : {"command pm set temperature 26: done", "command pm unit off: done",
                           "command pm unit on: done"})
    EXPECT_NE(run.out.find(done), std::string::npos) << done << " in\n" << run.out;

  const auto stored = records();
  ASSERT_EQ(stored.size(), 1u) << run.out << run.err;
  for (int reg : {3, 4, 7, 10, 14, 15, 22, 40, 65})
    EXPECT_EQ(record_word(stored[0].bytes, reg), 1000 + reg) << "register " << reg;
  EXPECT_EQ(record_word(stored[0].bytes, 1), 260) << "the set point written";
  EXPECT_EQ(record_word(stored[0].bytes, 13), 170);
  EXPECT_EQ(record_word(stored[0].bytes, 27), 1) << "running";
}

TEST_F(PymodbusPeer, AnOffThatTheSlavesRunStateDoesNotFollowFails) {
  start_slave({"--stuck"});
  const Finished run = run_gateway({"--unit-off", "--rounds", "0"});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.out.find("command pm unit off: failed"), std::string::npos) << run.out;
}

}  // namespace
