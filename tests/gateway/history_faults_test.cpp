// The history's faults never stop supervision: a lock held by another
// process, a full database, a damaged file; a short retention keeps the
// file's size bounded; a file of the previous schema is carried forward,
// and the reload takes only the unit's own record.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;
using harness::record_word;
using harness::Summary;
using harness::summary_of;
using std::chrono::milliseconds;
using ::testing::HasSubstr;
using ::testing::Not;
using testproc::Process;

// A connection of the test's own process (for the gateway, another
// process) to a database file, created if need be.
class Connection {
 public:
  explicit Connection(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
      ADD_FAILURE() << "cannot open " << path;
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Connection() { sqlite3_close(db_); }
  void execute(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
      ADD_FAILURE() << (message ? message : "?") << " in " << sql;
    sqlite3_free(message);
  }
  long long number(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    long long value = -1;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
  }
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

class GatewayHistoryFaults : public harness::GatewayTest {
 protected:
  std::string history() const { return dir.file("history.db"); }
  Json::Value service_status() {
    const Finished run = ctl({"--json", "status"});
    Json::Value reply;
    EXPECT_TRUE(Json::Reader().parse(run.out, reply)) << run.out << run.err;
    return reply;
  }
  // Stops the gateway and checks that every completed round was stored.
  void stop_and_expect_every_round_stored(Process& gateway) {
    gateway.signal(SIGTERM);
    ASSERT_EQ(gateway.wait_exit(), 0) << gateway.err();
    const Summary summary = summary_of(gateway.out(), "ac1");
    EXPECT_GT(summary.completed, 0);
    EXPECT_EQ(summary.records, summary.completed);
    EXPECT_EQ(static_cast<long>(records().size()), summary.completed);
    EXPECT_THAT(gateway.out(), HasSubstr("lost 0 records 0 events"));
  }
};

TEST_F(GatewayHistoryFaults, ALockHeldFromTheStartHoldsRecordsAndAlarmsBackAndLosesNone) {
  dir.write("scenario.txt", "0.3 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  auto lock = std::make_unique<Connection>(history());
  lock->execute("BEGIN EXCLUSIVE");
  auto gateway = start_gateway({"--interval", "0.05", "--report"});
  ASSERT_TRUE(gateway->next_line("alarm ac1 raised 120800150010")) << gateway->err();
  ASSERT_TRUE(gateway->next_line("report ac1"));
  EXPECT_TRUE(gateway->next_line("database is locked", Process::kErr));
  const Json::Value held = service_status()["history"];
  EXPECT_FALSE(held["writable"].asBool()) << held;
  EXPECT_GT(held["queued_records"].asInt(), 0) << held;

  lock->execute("ROLLBACK");
  lock.reset();
  EXPECT_TRUE(gateway->next_line("written again", Process::kErr)) << gateway->err();
  ASSERT_TRUE(gateway->next_line("report ac1"));
  EXPECT_TRUE(service_status()["history"]["writable"].asBool());
  stop_and_expect_every_round_stored(*gateway);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].state, "raised");
}

TEST_F(GatewayHistoryFaults, AFullDatabaseHoldsRecordsBackUntilThereIsRoomAgain) {
  start_unit();
  harness::ConfigParts parts;
  parts.top_fields = R"("history_max_mb": 1)";
  write_config(harness::config_text(parts));
  {
    // 248 of the 256 pages that 1 MiB holds: room for the gateway's
    // tables and a few dozen records.
    Connection filler(history());
    filler.execute(
        "PRAGMA page_size = 4096; CREATE TABLE filler (bytes BLOB);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 246)"
        " INSERT INTO filler SELECT zeroblob(4000) FROM n;");
  }
  auto gateway = start_gateway({"--interval", "0.02", "--report"});
  ASSERT_TRUE(gateway->next_line("database or disk is full", Process::kErr)) << gateway->err();
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(gateway->next_line("report ac1"));

  Connection(history()).execute("DELETE FROM filler");
  EXPECT_TRUE(gateway->next_line("written again", Process::kErr)) << gateway->err();
  ASSERT_TRUE(gateway->next_line("report ac1"));
  stop_and_expect_every_round_stored(*gateway);
}

TEST_F(GatewayHistoryFaults, ADamagedFileIsRenamedAsideKeptAndANewOneStarted) {
  start_unit();
  write_config(harness::config_text());
  ASSERT_EQ(run_gateway({"--rounds", "3"}).status, 0);
  {
    // The page of the history table's records (the first table's).
    std::fstream file(history(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096);
    file.write(std::string(64, '\xa5').data(), 64);
  }
  std::ifstream damaged_in(history(), std::ios::binary);
  const std::string damaged((std::istreambuf_iterator<char>(damaged_in)),
                            std::istreambuf_iterator<char>());

  const Finished run = run_gateway({"--rounds", "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("error: history database " + history() + " is damaged ("));
  std::string aside;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename().string().rfind("history.db.damaged-", 0) == 0)
      aside = entry.path().string();
  ASSERT_FALSE(aside.empty()) << run.err;
  EXPECT_THAT(run.err, HasSubstr("renamed to " + aside));
  std::ifstream kept_in(aside, std::ios::binary);
  EXPECT_EQ(
      std::string((std::istreambuf_iterator<char>(kept_in)), std::istreambuf_iterator<char>()),
      damaged)
      << "kept as it was";
  EXPECT_THAT(run.out, HasSubstr("reload ac1: no stored record"));
  EXPECT_EQ(records().size(), 1u) << "a new history, with the round of this run";
}

TEST_F(GatewayHistoryFaults, AShortRetentionKeepsTheFileFromGrowing) {
  start_unit();
  harness::ConfigParts parts;
  parts.top_fields = R"("history_keep_days": 0.0000231)";  // 2 s
  write_config(harness::config_text(parts));
  auto gateway = start_gateway({"--interval", "0.01"});
  auto pages = [&] { return Connection(history()).number("PRAGMA page_count"); };
  std::this_thread::sleep_for(milliseconds(4000));
  const long long early = pages();
  std::this_thread::sleep_for(milliseconds(4000));
  const long long late = pages();
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  // Without pruning the history would have doubled from 4 s to 8 s; with
  // it, freed pages are used again and it holds about 2 s of records (a
  // little more or less as the machine's load changes the pace).
  const Summary summary = summary_of(gateway->out(), "ac1");
  EXPECT_GT(summary.completed, 200) << "enough rounds to fill pages";
  EXPECT_LE(late, early + early / 2 + 2)
      << "pages: " << early << " after 4 s, " << late << " after 8 s";
  EXPECT_LT(static_cast<long>(records().size()), summary.completed / 2);
}

// Local time `ago` seconds back, as the history stores it (within the
// retention, which prunes older records at start).
std::string time_text(int ago) {
  const std::time_t then = std::time(nullptr) - ago;
  std::tm local{};
  localtime_r(&then, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// 121 bytes with the data id and the temperature set point (register 1).
std::string record_with(int32_t data_id, uint16_t set_temperature) {
  std::string record(121, '\0');
  for (int i = 0; i < 4; ++i) record[i] = static_cast<char>(data_id >> (8 * i) & 0xff);
  record[4] = static_cast<char>(set_temperature & 0xff);
  record[5] = static_cast<char>(set_temperature >> 8);
  return record;
}

TEST_F(GatewayHistoryFaults, AFileOfThePreviousSchemaReloadsTheUnitsOwnRecordAndMarksTheReload) {
  start_unit();
  write_config(harness::config_text());
  {
    Connection old(history());
    old.execute(
        "CREATE TABLE history (id INTEGER PRIMARY KEY, device TEXT NOT NULL,"
        " data_id INTEGER NOT NULL, time TEXT NOT NULL, record BLOB NOT NULL);"
        "CREATE INDEX history_by_device ON history (device, id);"
        "CREATE TABLE alarm_events (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
        " device TEXT NOT NULL, signal_id TEXT NOT NULL, level INTEGER NOT NULL,"
        " state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')), title TEXT NOT NULL,"
        " detail TEXT NOT NULL);"
        "CREATE INDEX alarm_events_by_device ON alarm_events (device, signal_id, id);");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(
        old.handle(), "INSERT INTO history (device, data_id, time, record) VALUES ('ac1', ?, ?, ?)",
        -1, &insert, nullptr);
    // Its own record, then a newer one of another data id (a unit that
    // had another before).
    for (const auto& [data_id, time, set_point] :
         {std::tuple<int, std::string, int>{101, time_text(60), 199}, {999, time_text(30), 211}}) {
      const std::string record = record_with(data_id, static_cast<uint16_t>(set_point));
      sqlite3_bind_int(insert, 1, data_id);
      sqlite3_bind_text(insert, 2, time.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(insert, 3, record.data(), 121, SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
  }

  const Finished run = run_gateway({"--rounds", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("reload ac1: record taken"));
  Connection check(history());
  EXPECT_EQ(check.number("SELECT count(*) FROM history"), 3);
  EXPECT_EQ(check.number("SELECT count(*) FROM history WHERE reload = 0"), 2)
      << "kept as they were";
  EXPECT_EQ(check.number("SELECT count(*) FROM sqlite_master WHERE type = 'index'"
                         " AND name = 'history_by_device_time'"),
            1)
      << "the index by unit and time added";
  const auto stored = records();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(check.number("SELECT reload FROM history WHERE id = 3"), 1);
  EXPECT_EQ(stored[2].data_id, 101);
  EXPECT_EQ(harness::record_data_id(stored[2].bytes), 101);
  EXPECT_EQ(record_word(stored[2].bytes, 1), 199) << "the unit's own record, not the newer one";
  EXPECT_EQ(summary_of(run.out, "ac1").records, 1) << "the unit's own readings only";
}

// A device as the history (the null device, the serial port itself) would
// open, lose every record and leave a journal beside it: refused at start,
// named, with nothing made.
TEST_F(GatewayHistoryFaults, ADeviceAsTheHistoryIsRefusedAtStartAndNothingIsMadeBesideIt) {
  start_unit();
  write_config(harness::config_text());
  ASSERT_FALSE(std::filesystem::exists("/dev/null-journal")) << "left by someone else";
  for (const std::string& device : {std::string("/dev/null"), pty}) {
    std::vector<std::string> argv = gateway_args({"--rounds", "2"});
    *std::find(argv.begin(), argv.end(), history()) = device;
    Process gateway(argv);
    EXPECT_EQ(gateway.wait_exit(), 1) << gateway.out();
    EXPECT_THAT(gateway.err(), HasSubstr("history database " + device +
                                         ": cannot open: a character device, not a file"));
    EXPECT_THAT(gateway.out(), Not(HasSubstr("summary"))) << "nothing polled";
    for (const char* suffix : {"-journal", "-wal", "-shm"})
      EXPECT_FALSE(std::filesystem::exists(device + suffix)) << device << suffix;
  }
}

// The history, its write-ahead log and shared memory are made readable by
// the gateway's group and nobody else, whatever the umask.
TEST_F(GatewayHistoryFaults, TheHistoryAndItsLogAreMadeForTheGroupOnlyWhateverTheUmask) {
  start_unit();
  write_config(harness::config_text());
  const mode_t umask_before = ::umask(0);
  auto gateway = start_gateway({"--interval", "0.05", "--report"});
  ::umask(umask_before);
  ASSERT_TRUE(gateway->next_line("report ac1")) << gateway->err();
  ASSERT_TRUE(harness::eventually([&] { return std::filesystem::exists(history() + "-shm"); }));
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat status {};
    ASSERT_EQ(::stat((history() + suffix).c_str(), &status), 0) << suffix;
    EXPECT_EQ(status.st_mode & 07777, 0640u) << history() << suffix;
  }
  stop_and_expect_every_round_stored(*gateway);
}

// Rounds asked for whose records the history could not hold did not do
// what they were for: the run ends in failure, named.
TEST_F(GatewayHistoryFaults, RoundsWhoseRecordsTheHistoryLostEndInFailure) {
  start_unit();
  write_config(harness::config_text());
  Connection lock(history());
  lock.execute("BEGIN EXCLUSIVE");  // for the whole run: the writer waits 10 s at the stop
  const Finished run = run_gateway({"--rounds", "2"});
  lock.execute("ROLLBACK");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_THAT(run.err, HasSubstr("error: history " + history() +
                                 ": 2 records and 0 alarm events "
                                 "of the rounds asked for were lost"));
  EXPECT_THAT(run.out, HasSubstr("summary ac1: rounds 2 completed 2;"));
}

}  // namespace
