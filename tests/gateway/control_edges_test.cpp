// The control socket's edges, on the gateway as a program polling the
// simulated unit, through the socket itself: no line ends the service, no
// client holds its stop, idle clients lock no one out.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"

namespace {

using harness::eventually;
using ::testing::HasSubstr;
using testproc::Process;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A client of the test's own on the socket, reading only when asked.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // The next line, or "" when none comes within `timeout` or the socket ends.
  std::string line(milliseconds timeout = milliseconds(5000)) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      pollfd readable{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[4096];
      const ssize_t count = ::read(fd_, chunk, sizeof chunk);
      if (count <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(count));
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

Json::Value parsed(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

class ControlEdges : public harness::GatewayTest {
 protected:
  std::unique_ptr<Process> start_service() {
    start_unit();
    write_config(harness::config_text());
    // Rounds every 50 ms; nothing on standard output that the test would
    // have to read meanwhile.
    auto gateway = start_gateway({"--interval", "0.05"});
    EXPECT_TRUE(eventually([&] { return completed() > 0; })) << gateway->err();
    return gateway;
  }
  std::string socket_path() const { return dir.file("control.sock"); }
  int64_t completed() {
    const harness::Finished run = ctl({"--json", "status", "ac1"});
    return run.status == 0 ? parsed(run.out)["units"][0]["counters"]["completed"].asInt64() : 0;
  }
  Json::Value control_counts() {
    const harness::Finished run = ctl({"--json", "status"});
    return run.status == 0 ? parsed(run.out)["control"] : Json::Value();
  }
};

TEST_F(ControlEdges, ALineNestedAThousandDeepIsAnsweredWithAnErrorAndPollingGoesOn) {
  auto gateway = start_service();
  RawClient client(socket_path());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(std::string(1000, '[') + "\n"));
  const Json::Value brackets = parsed(client.line());
  EXPECT_FALSE(brackets["ok"].asBool());
  EXPECT_EQ(brackets["error"], "not valid JSON: nested more than 32 deep");
  // A valid request but for its id, on the same connection.
  ASSERT_TRUE(client.send(R"({"request": "status", "id": )" + std::string(1000, '[') +
                          std::string(1000, ']') + "}\n"));
  const Json::Value deep_id = parsed(client.line());
  EXPECT_FALSE(deep_id["ok"].asBool());
  EXPECT_FALSE(deep_id.isMember("id"));
  // Bytes that are not UTF-8 get an error, and the reply is all UTF-8.
  ASSERT_TRUE(client.send("{\"request\": \"st\xff\xfe\"}\n"));
  EXPECT_EQ(parsed(client.line())["error"], "not valid JSON: a string that is not UTF-8");
  ASSERT_TRUE(client.send(R"({"request": "status", "id": 7})"
                          "\n"));
  const Json::Value status = parsed(client.line());
  EXPECT_TRUE(status["ok"].asBool()) << "the connection serves on";
  EXPECT_EQ(status["id"], 7);

  const int64_t before = completed();
  EXPECT_TRUE(eventually([&] { return completed() > before; })) << "still polling";
  EXPECT_FALSE(gateway->exited());
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

TEST_F(ControlEdges, AnEventsClientThatNeverReadsIsDroppedAndDoesNotHoldTheStop) {
  auto gateway = start_service();
  RawClient stuck(socket_path());
  ASSERT_TRUE(stuck.send(R"({"request": "events"})"
                         "\n"));
  // Rounds every 50 ms fill its socket's buffer (about 200 KiB) in seconds;
  // 2 s later the gateway gives up on it.
  EXPECT_TRUE(
      eventually([&] { return control_counts()["dropped_slow"] == 1; }, milliseconds(30000)))
      << gateway->err();

  // Another that never reads, and one waiting for its idle time: the stop
  // waits for neither.
  RawClient silent(socket_path());
  ASSERT_TRUE(silent.send(R"({"request": "events"})"
                          "\n"));
  RawClient idle(socket_path());
  ASSERT_TRUE(idle.connected());
  std::this_thread::sleep_for(milliseconds(500));
  const auto signalled = Clock::now();
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(milliseconds(30000)), 0) << gateway->err();
  EXPECT_LT(Clock::now() - signalled, milliseconds(1000));
  EXPECT_THAT(gateway->err(), HasSubstr("control: dropped a client"));
}

TEST_F(ControlEdges, IdleConnectionsGiveUpTheirPlacesAndOnlyClientsAtWorkMakeItBusy) {
  auto gateway = start_service();
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(std::make_unique<RawClient>(socket_path()));
  std::this_thread::sleep_for(milliseconds(1200));  // idle long enough to give way
  for (int i = 0; i < 3; ++i) {
    const harness::Finished status = ctl({"status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
  }
  // The one idle the longest was told why it was closed.
  EXPECT_THAT(idle[0]->line(), HasSubstr("idle the longest"));
  EXPECT_EQ(control_counts()["evicted"], 1) << "one place freed, taken in turn by each ctl";

  // Sixteen following events are at work: the next client hears "busy".
  idle.clear();
  std::vector<std::unique_ptr<RawClient>> following;
  for (int i = 0; i < 16; ++i) {
    following.push_back(std::make_unique<RawClient>(socket_path()));
    ASSERT_TRUE(following.back()->send(R"({"request": "events"})"
                                       "\n"));
    ASSERT_THAT(following.back()->line(), HasSubstr("following"));
  }
  RawClient turned_away(socket_path());
  EXPECT_THAT(turned_away.line(), HasSubstr("busy: 16 clients already, none of them idle"));
  const harness::Finished busy = ctl({"status"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_THAT(busy.out + busy.err, HasSubstr("busy: 16 clients already"));
  following.clear();
  EXPECT_TRUE(eventually([&] { return ctl({"status"}).status == 0; }));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

}  // namespace
