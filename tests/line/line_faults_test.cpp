// The gateway polls the simulated unit through the fault line: one run per
// fault kind, and one with every kind in turn. Each run checks that the
// gateway survived: it ended its rounds normally, stored every completed
// round and no other, took no spoiled reply into a record, kept its alarms
// in step with the records, caught every fault, and polled again by itself
// after the last one. Each prints one line of figures ("line-faults KIND:
// ..."), which scripts/line-faults gathers into a table.
//
// NORVANE_LINE_ROUNDS sets the rounds of a run (default 40, a quick run).
// A run injects a fault every 8 rounds, and at least one of each kind.
#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/gateway/harness.h"
#include "tests/line/faults.h"
#include "tests/line/stored_checks.h"

#ifndef NORVANE_FAULT_LINE
#error "NORVANE_FAULT_LINE names the built fault line"
#endif

namespace {

using harness::lines_starting;
using line::Fault;
using testproc::Process;

constexpr int kResponseTimeoutMs = 500;
constexpr int kLateMs = 750;  // between one and two response timeouts
constexpr int kGoneMs = 300;
constexpr int kEveryExchanges = 8;
constexpr long kRoundsPerFault = 8;
constexpr long kQuietTailRounds = 3;  // rounds that must complete after the last fault
constexpr int kDataId = 101;

long rounds_per_run() {
  const char* text = std::getenv("NORVANE_LINE_ROUNDS");
  const long rounds = text != nullptr ? std::atol(text) : 0;
  return rounds > 0 ? rounds : 40;
}

std::string unit_config() {
  std::ostringstream levels;
  for (const line::SupervisedFlag& flag : line::kSupervisedFlags)
    levels << (levels.tellp() > 0 ? ", " : "") << '"' << flag.signal_id << "\": 2";
  return R"({"interval_s": 0,
  "bus": {"baud": 9600, "parity": "none", "response_timeout_ms": )" +
         std::to_string(kResponseTimeoutMs) + R"(, "retries": 1},
  "units": [{"name": "ac1", "slave": 1, "data_id": )" +
         std::to_string(kDataId) + R"(,
             "settings": {"appSetting": {"b_mode": "2"}}, "alarm_levels": {)" +
         levels.str() + "}}]}\n";
}

// The fault line's counts: per kind, faults injected and exchanges spoiled.
struct Injected {
  std::map<std::string, line::FaultPlan::Tally> kinds;
  long exchanges = -1;
  bool all_done = false;

  long faults(Fault fault) const { return tally(fault).faults; }
  long spoiled(std::initializer_list<Fault> faults) const {
    long sum = 0;
    for (Fault fault : faults) sum += tally(fault).spoiled;
    return sum;
  }
  long total_faults() const {
    long sum = 0;
    for (const auto& [name, tally] : kinds) sum += tally.faults;
    return sum;
  }
  const line::FaultPlan::Tally& tally(Fault fault) const {
    static const line::FaultPlan::Tally none;
    const auto found = kinds.find(line::fault_name(fault));
    return found == kinds.end() ? none : found->second;
  }
};

Injected injected_of(const std::string& out) {
  Injected injected;
  for (const std::string& text : lines_starting(out, "injected ")) {
    std::istringstream fields(text);
    std::string word, name;
    line::FaultPlan::Tally tally;
    fields >> word >> name >> word >> tally.faults >> word >> tally.spoiled;
    injected.kinds[name] = tally;
  }
  for (const std::string& text : lines_starting(out, "exchanges "))
    injected.exchanges = std::stol(text.substr(10));
  injected.all_done = !lines_starting(out, "faults done").empty();
  return injected;
}

// The device's own lines, in the log at debug level: "rvSize is" after each
// completed round, "SPModbus get error" after a request given up.
constexpr char kRoundLine[] = "debug: plug-in: rvSize is";
constexpr char kFailureLine[] = "debug: plug-in: SPModbus get error";

long lines_with(const std::string& log, const char* needle) {
  long count = 0;
  std::istringstream in(log);
  for (std::string text; std::getline(in, text);) count += text.find(needle) != std::string::npos;
  return count;
}

// Completed rounds after the last request given up.
long rounds_after_last_failure(const std::string& log) {
  long rounds = 0;
  std::istringstream in(log);
  for (std::string text; std::getline(in, text);) {
    if (text.find(kFailureLine) != std::string::npos) rounds = 0;
    if (text.find(kRoundLine) != std::string::npos) ++rounds;
  }
  return rounds;
}

class LineFaults : public harness::GatewayTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    const std::string kinds = GetParam();
    const long kind_count = kinds == "all" ? static_cast<long>(std::size(line::kAllFaults)) : 1;
    faults_ = std::max(rounds_per_run() / kRoundsPerFault, kind_count);
    rounds_ = faults_ * kRoundsPerFault;
    dir.write("scenario.txt", line::flag_scenario(60.0 + 3.0 * static_cast<double>(faults_)));
    start_unit({"--scenario", dir.file("scenario.txt")});
    port = dir.file("ttyLINE");
    fault_line_ = std::make_unique<Process>(std::vector<std::string>{
        NORVANE_FAULT_LINE, "--unit", pty, "--link", port, "--faults", kinds, "--every",
        std::to_string(kEveryExchanges), "--total", std::to_string(faults_), "--seed", "6",
        "--late-ms", std::to_string(kLateMs), "--gone-ms", std::to_string(kGoneMs)});
    ASSERT_TRUE(fault_line_->next_line("link ")) << fault_line_->err();
    write_config(unit_config());
  }

  // Waits for the gateway's exit, reading the unit's and the fault line's
  // output meanwhile: a child blocked on a full pipe would stop answering.
  int wait_for_gateway(Process& gateway) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(60 + 10 * faults_);
    while (!gateway.exited() && std::chrono::steady_clock::now() < deadline) {
      gateway.drain(std::chrono::milliseconds(20));
      unit->drain();
      fault_line_->drain();
    }
    return gateway.wait_exit(std::chrono::milliseconds(0));
  }

  long faults_ = 0;
  long rounds_ = 0;
  std::unique_ptr<Process> fault_line_;
};

TEST_P(LineFaults, GatewaySurvivesEveryFault) {
  Process gateway(gateway_args({"--rounds", std::to_string(rounds_), "--log-level", "debug"}));
  const int status = wait_for_gateway(gateway);
  fault_line_->signal(SIGTERM);
  ASSERT_EQ(fault_line_->wait_exit(), 0) << fault_line_->err();
  ASSERT_EQ(status, 0) << "the gateway did not end its rounds normally:\n" << gateway.err();

  const Injected injected = injected_of(fault_line_->out());
  ASSERT_TRUE(injected.all_done) << "the faults did not all come within the rounds";
  EXPECT_EQ(injected.total_faults(), faults_);
  if (std::string(GetParam()) == "all") {
    for (Fault fault : line::kAllFaults)
      EXPECT_GE(injected.faults(fault), 1) << line::fault_name(fault);
  }

  // Rounds: every completed one stored, no other; polling resumed.
  const harness::Summary summary = harness::summary_of(gateway.out(), "ac1");
  const auto stored = records();
  const long lost = summary.rounds - summary.completed;
  EXPECT_EQ(summary.rounds, rounds_);
  EXPECT_EQ(static_cast<long>(stored.size()), summary.completed);
  EXPECT_EQ(lines_with(gateway.err(), kRoundLine), summary.completed);
  EXPECT_EQ(summary.given_up, lost) << "a round is lost when, and only when, a request is";
  EXPECT_GE(rounds_after_last_failure(gateway.err()), kQuietTailRounds);

  // Records: whole, the unit's own.
  long partial = 0;
  for (const harness::StoredRecord& record : stored) {
    const std::string why = line::record_fault(record.bytes, kDataId);
    if (!why.empty() && ++partial <= 3) ADD_FAILURE() << "a stored record is not whole: " << why;
  }
  EXPECT_EQ(partial, 0);
  const long alarm_events = line::check_alarms_follow_records(stored, events());
  EXPECT_GT(alarm_events, 0) << "the unit's flags changed while the gateway polled";

  // Counters: every spoiled reply caught, as what it is. A loaded machine
  // may now and then delay a clean reply past the timeout: `allowance`.
  const long must_time_out =
      injected.spoiled({Fault::kDrop, Fault::kSilence, Fault::kLate, Fault::kCut});
  const long must_be_bad = injected.spoiled({Fault::kBadCrc, Fault::kShort, Fault::kWrongSlave});
  const long spoiled = must_time_out + must_be_bad + injected.spoiled({Fault::kGarbage});
  const long allowance = 2 + spoiled / 100;
  EXPECT_GE(summary.timeouts, must_time_out);
  EXPECT_GE(summary.bad, must_be_bad);
  EXPECT_GE(summary.timeouts + summary.bad, spoiled) << "a spoiled reply was taken";
  EXPECT_LE(summary.timeouts + summary.bad, spoiled + allowance);
  const long gone = injected.faults(Fault::kGone);
  const harness::PortSummary port_summary = harness::port_summary_of(gateway.out());
  EXPECT_EQ(port_summary.lost, gone);
  EXPECT_EQ(port_summary.reopened, gone);
  EXPECT_EQ(summary.requests - summary.port_errors, injected.exchanges - gone)
      << "every try on an open port reached the line";
  // A silence spoils a request and its second try; a terminal that goes
  // away takes the round in flight and at most two more while it is away.
  const long silences = injected.faults(Fault::kSilence);
  EXPECT_GE(lost, silences + gone);
  EXPECT_LE(lost, silences + 3 * gone + allowance);

  std::cout << "line-faults " << GetParam() << ": rounds " << summary.rounds << " completed "
            << summary.completed << " lost " << lost << "; injected " << injected.total_faults()
            << " spoiled " << spoiled + injected.spoiled({Fault::kGone}) << "; timeouts "
            << summary.timeouts << " bad replies " << summary.bad << " port errors "
            << summary.port_errors << " reopened " << port_summary.reopened << "; records "
            << stored.size() << " partial " << partial << "; alarm events " << alarm_events
            << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Kinds, LineFaults,
                         ::testing::Values("drop", "silence", "late", "crc", "garbage", "cut",
                                           "short", "slave", "gone", "all"),
                         [](const auto& kind) { return std::string(kind.param); });

}  // namespace
