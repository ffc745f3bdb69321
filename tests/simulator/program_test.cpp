// norvane-sim as a program: its command line, many units on one line, the
// on/off echo and the exception faults, with the test as the master.
#include <gmock/gmock.h>

#include "tests/simulator/sim_program.h"

#ifndef NORVANE_VERSION
#error "NORVANE_VERSION is the project's version"
#endif

namespace {

using simtest::SimProgram;
using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

struct Ended {
  int status = -1;
  std::string out, err;
};

Ended run_to_end(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NORVANE_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  testproc::Process program(argv);
  Ended ended;
  ended.status = program.wait_exit();
  ended.out = program.out();
  ended.err = program.err();
  return ended;
}

TEST(SimCommandLine, HelpListsEveryOptionVersionIsTheProjectsAndMistakesExitTwo) {
  const Ended help = run_to_end({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option :
       {"--device", "--baud", "--parity", "--data-bits", "--stop-bits", "--slave ", "--slaves",
        "--echo-mode", "--scenario", "--pace", "--turnaround-ms", "--silent", "--corrupt",
        "--echo ", "--exception", "--refuse-writes", "--version"})
    EXPECT_THAT(help.out, HasSubstr(option));

  const Ended version = run_to_end({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("norvane-sim ") + NORVANE_VERSION + "\n");

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--baud", "7"},
                                                {"--parity=mark"},
                                                {"--slaves", "0-3"},
                                                {"--slaves=1-300"},
                                                {"--exception", "22:0"},
                                                {"--echo-mode", "loud"},
                                                {"--bogus"}}) {
    const Ended run = run_to_end(wrong);
    EXPECT_EQ(run.status, 2) << wrong[0];
    EXPECT_THAT(run.err, HasSubstr("norvane-sim: ")) << wrong[0];
  }
}

// Read holding registers: slave, 3, address, count.
Bytes read(uint8_t slave, uint8_t address, uint8_t count) {
  return {slave, 3, 0, address, 0, count};
}
// Write single register: slave, 6, address, word.
Bytes write(uint8_t slave, uint8_t address, uint16_t word) {
  return {slave, 6, 0, address, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
}

TEST_F(SimProgram, ServesThirtyTwoUnitsEachOfItsOwnAndEchoesTheWordWrittenAsAStandardUnit) {
  start({"--slaves=1-32", "--echo-mode=standard", "--baud=19200"});
  EXPECT_EQ(ask(write(17, 13, 85)), write(17, 13, 85)) << "the word written, not the state";
  EXPECT_EQ(ask(read(17, 27, 1)), (Bytes{17, 3, 2, 0, 0})) << "unit 17 stopped";
  for (uint8_t other : {1, 16, 18, 32})
    EXPECT_EQ(ask(read(other, 27, 1)), (Bytes{other, 3, 2, 0, 1})) << "unit " << int(other);
  EXPECT_EQ(ask(write(17, 13, 170)), write(17, 13, 170));
  EXPECT_TRUE(ask(read(33, 27, 1), rtupeer::milliseconds(300)).empty()) << "no unit 33";
  EXPECT_TRUE(unit->next_line("write slave 17 register 13 <- 85, echo 85"));
}

TEST_F(SimProgram, AnswersReadsAndWritesTouchingAChosenRegisterWithItsException) {
  start({"--exception", "31", "--exception=2:6", "--slave", "3"});
  EXPECT_EQ(ask(read(3, 22, 44)), (Bytes{3, 0x83, 2})) << "31 lies in 22-65";
  EXPECT_EQ(ask(read(3, 1, 4)), (Bytes{3, 0x83, 6}));
  EXPECT_EQ(ask(read(3, 7, 4)).size(), 11u) << "registers 7-10 untouched";
  EXPECT_EQ(ask(write(3, 2, 450)), (Bytes{3, 0x86, 6}));
  EXPECT_EQ(ask(write(3, 1, 260)), write(3, 1, 260));
  EXPECT_TRUE(unit->next_line("read slave 3 registers 22-65: exception 2"));
  EXPECT_TRUE(unit->next_line("write slave 3 register 2 <- 450: refused, exception 6"));
}

TEST_F(SimProgram, PlaysTheScenarioOnEveryUnit) {
  testproc::TempDir dir;
  dir.write("scenario.txt", "0 floor_water on\n");
  start({"--slaves=1-3", "--scenario", dir.file("scenario.txt")});
  for (uint8_t slave : {1, 2, 3}) {
    EXPECT_TRUE(
        unit->next_line("scenario 0 s: slave " + std::to_string(slave) + " floor_water on"));
    EXPECT_EQ(ask(read(slave, 31, 1)), (Bytes{slave, 3, 2, 0, 1})) << "unit " << int(slave);
  }
}

TEST_F(SimProgram, RefusesEveryWriteAndChangesNothing) {
  start({"--refuse-writes"});
  EXPECT_EQ(ask(write(1, 1, 260)), (Bytes{1, 0x86, 4})) << "server device failure by default";
  EXPECT_EQ(ask(write(1, 13, 85)), (Bytes{1, 0x86, 4}));
  EXPECT_EQ(ask(read(1, 1, 1)), (Bytes{1, 3, 2, 0, 240})) << "still 24.0 C";
  EXPECT_EQ(ask(read(1, 27, 1)), (Bytes{1, 3, 2, 0, 1})) << "still running";
  unit.reset();
  start({"--refuse-writes=3"});
  EXPECT_EQ(ask(write(1, 2, 450)), (Bytes{1, 0x86, 3}));
}

}  // namespace
