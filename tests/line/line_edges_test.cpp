// The line's edges, end to end: the gateway polls the simulated unit
// through the fault line, which takes the port away, cuts replies, or
// times the line; each test runs the gateway as a user would.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/gateway/harness.h"

#ifndef NORVANE_FAULT_LINE
#error "NORVANE_FAULT_LINE names the built fault line"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testproc::Process;

double seconds_since(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

class LineEdges : public harness::GatewayTest {
 protected:
  // The fault line between the unit and the gateway's port, with `args`.
  void start_line(const std::vector<std::string>& args) {
    start_unit();
    port = dir.file("ttyLINE");
    std::vector<std::string> argv{NORVANE_FAULT_LINE, "--unit", pty, "--link", port};
    argv.insert(argv.end(), args.begin(), args.end());
    fault_line = std::make_unique<Process>(argv);
    ASSERT_TRUE(fault_line->next_line("link ")) << fault_line->err();
  }

  // Seconds that `--rounds 40` take at a 100 ms response timeout and one
  // retry with a fault of `kind` every 4 exchanges on average; and the
  // faults injected.
  std::pair<double, long> rounds_with(const std::string& kind) {
    start_line({"--faults", kind, "--every", "4", "--seed", "3"});
    harness::ConfigParts parts;
    parts.response_timeout_ms = 100;
    write_config(harness::config_text(parts));
    const auto began = Clock::now();
    const harness::Finished run = run_gateway({"--rounds", "40"});
    const double took = seconds_since(began);
    EXPECT_EQ(run.status, 0) << run.err;
    fault_line->signal(SIGTERM);
    EXPECT_TRUE(fault_line->next_line("exchanges ")) << fault_line->err();
    const std::vector<std::string> injected =
        harness::lines_starting(fault_line->out(), "injected " + kind + " faults ");
    const long faults = injected.empty() ? 0 : std::stol(injected[0].substr(17 + kind.size()));
    fault_line.reset();
    unit.reset();
    return {took, faults};
  }

  std::unique_ptr<Process> fault_line;
};

// libmodbus's own byte timeout (0.5 s) made a reply cut short cost three
// dropped replies at a 100 ms response timeout.
TEST_F(LineEdges, ACutReplyCostsAboutWhatADroppedOneDoes) {
  const auto [dropped_s, drops] = rounds_with("drop");
  const auto [cut_s, cuts] = rounds_with("cut");
  ASSERT_GT(drops, 10);
  ASSERT_GT(cuts, 10);
  const double drop_ms = 1000 * dropped_s / static_cast<double>(drops);
  const double cut_ms = 1000 * cut_s / static_cast<double>(cuts);
  std::printf("40 rounds: %ld drops %.2f s (%.0f ms each), %ld cuts %.2f s (%.0f ms each)\n", drops,
              dropped_s, drop_ms, cuts, cut_s, cut_ms);
  EXPECT_LT(cut_ms, 1.25 * drop_ms);
}

// A port away for 12 s: the units back off meanwhile (0.5 s doubling), but
// the port is retried on its own schedule (at most 2 s apart) and the unit
// polled as soon as it is open again.
TEST_F(LineEdges, PortThatReturnsIsOpenedWithinItsScheduleStep) {
  start_line({"--faults", "gone", "--total", "1", "--every", "4", "--gone-ms", "12000"});
  harness::ConfigParts parts;
  parts.response_timeout_ms = 200;
  write_config(harness::config_text(parts));
  std::unique_ptr<Process> gateway = start_gateway({});
  ASSERT_TRUE(gateway->next_line("lost:", Process::kErr, milliseconds(10000))) << gateway->err();
  ASSERT_TRUE(gateway->next_line("ac1 is not answering", Process::kErr, milliseconds(10000)))
      << gateway->err();
  ASSERT_TRUE(fault_line->next_line("link ", Process::kOut, milliseconds(20000)))
      << fault_line->err();
  const auto returned = Clock::now();
  ASSERT_TRUE(gateway->next_line("open again", Process::kErr, milliseconds(30000)))
      << gateway->err();
  const double opened_s = seconds_since(returned);
  ASSERT_TRUE(gateway->next_line("ac1 is answering again", Process::kErr, milliseconds(30000)))
      << gateway->err();
  const double answering_s = seconds_since(returned);
  std::printf("port back: opened after %.2f s, the unit answering after %.2f s\n", opened_s,
              answering_s);
  EXPECT_LT(opened_s, 2.5);  // one step of 2 s, and the machine's delays
  EXPECT_LT(answering_s, 3.0);
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

// The paced unit counts the requests that came within the silent interval
// after its reply, from its last character written: the gateway counts the
// interval from the reply's last byte read, which is never sooner. (It
// counted from an estimate, and 1 to 2.4 requests in a hundred came too
// soon.)
TEST_F(LineEdges, NoRequestStartsInsideTheSilentIntervalAfterAReply) {
  start_unit({"--pace"});
  write_config(harness::config_text());
  const harness::Finished run = run_gateway({"--rounds", "50"});
  ASSERT_EQ(run.status, 0) << run.err;
  unit->signal(SIGTERM);
  const std::optional<std::string> seen = unit->next_line("master turnaround after a reply");
  ASSERT_TRUE(seen) << unit->err();
  std::printf("%s\n", seen->c_str());
  long requests = 0, within = 0;
  ASSERT_EQ(std::sscanf(seen->c_str() + seen->find(" ms, ", seen->find("longest")),
                        " ms, %ld requests, %ld sent within", &requests, &within),
            2)
      << *seen;
  EXPECT_GE(requests, 190) << "four requests a round";
  EXPECT_EQ(within, 0);
}

// A neighbour that stopped answering costs each pass its request's tries
// (300 ms each, one retry, at once one after the other): at interval 1 s
// the live unit keeps its pace. It cost twice that, 1.2 s a pass (a wait
// of one more timeout after each try), and the live unit lost a round in
// seven at interval 1 s.
TEST_F(LineEdges, ANeighbourThatStopsAnsweringCostsAPassOnlyItsTries) {
  start_unit();
  const std::string live = R"({"name": "ac1", "slave": 1, "data_id": 101})";
  const std::string dead = R"({"name": "ac2", "slave": 2, "data_id": 102})";
  harness::ConfigParts parts;
  parts.response_timeout_ms = 300;
  auto three_passes = [&](const std::string& units, int status) {
    parts.units = "[" + units + "]";
    std::string text = harness::config_text(parts);
    text.replace(text.find("\"interval_s\": 0"), 15, "\"interval_s\": 1");
    write_config(text);
    const auto began = Clock::now();
    const harness::Finished run = run_gateway({"--rounds", "3"});
    const double took = seconds_since(began);
    EXPECT_EQ(run.status, status) << run.err;
    return std::make_pair(took, run.out);
  };
  const double alone_s = three_passes(live, 0).first;
  const auto [beside_s, out] = three_passes(live + ", " + dead, 4);  // 4: a unit without a round
  const harness::Summary ac2 = harness::summary_of(out, "ac2");
  std::printf("3 passes at interval 1 s: %.2f s alone, %.2f s beside a unit that does not answer\n",
              alone_s, beside_s);
  EXPECT_EQ(ac2.requests, 6) << "one request's two tries a pass\n" << out;
  EXPECT_EQ(harness::summary_of(out, "ac1").completed, 3);
  // The passes keep the interval; the last one's tries add 0.6 s.
  EXPECT_LT(beside_s - alone_s, 1.0);
}

// A round cut short by a stop is not a round, but the requests that went
// out in it count: the summary said "requests 0 timeouts 0" after two.
TEST_F(LineEdges, TheSummaryCountsTheRequestsOfARoundCutByAStop) {
  start_unit({"--silent"});
  harness::ConfigParts parts;
  parts.response_timeout_ms = 1000;
  write_config(harness::config_text(parts));
  std::unique_ptr<Process> gateway = start_gateway({});
  std::this_thread::sleep_for(milliseconds(1500));  // the first try timed out, the second is out
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  const harness::Summary ac1 = harness::summary_of(gateway->out(), "ac1");
  EXPECT_EQ(ac1.rounds, 0) << gateway->out();
  EXPECT_EQ(ac1.requests, 2) << gateway->out();
  EXPECT_EQ(ac1.timeouts, 1) << gateway->out();
}

}  // namespace
