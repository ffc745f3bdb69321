#include "tests/gateway/harness.h"

#include <json/reader.h>
#include <sqlite3.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#ifndef NORVANE_GATEWAY
#error "NORVANE_GATEWAY, NORVANE_SIM and NORVANE_PLUGIN_PATH name the built programs"
#endif

namespace harness {
namespace {

// Record offset of each polled register block.
struct Block {
  int first, last, offset;
};
constexpr Block kBlocks[] = {{1, 4, 4}, {7, 10, 12}, {13, 15, 20}, {22, 65, 26}};

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
      ADD_FAILURE() << "cannot open " << path;
  }
  ~Database() { sqlite3_close(db_); }

  // Every row of `sql`, each column as text or bytes.
  std::vector<std::vector<std::string>> rows(const std::string& sql) const {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
      return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string>& row = rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, i));
        row.emplace_back(bytes == nullptr ? "" : bytes,
                         static_cast<size_t>(sqlite3_column_bytes(statement, i)));
      }
    }
    sqlite3_finalize(statement);
    return rows;
  }

  void execute(const std::string& sql) const {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
      ADD_FAILURE() << (message ? message : "?") << " in " << sql;
    sqlite3_free(message);
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

uint16_t record_word(const std::string& record, int reg) {
  for (const Block& block : kBlocks) {
    if (reg < block.first || reg > block.last) continue;
    const size_t at = static_cast<size_t>(block.offset + 2 * (reg - block.first));
    if (record.size() < at + 2) break;
    return static_cast<uint16_t>(static_cast<uint8_t>(record[at]) |
                                 static_cast<uint8_t>(record[at + 1]) << 8);
  }
  ADD_FAILURE() << "register " << reg << " has no place in a record of " << record.size();
  return 0;
}

int32_t record_data_id(const std::string& record) {
  int32_t id = 0;
  if (record.size() >= 4) std::memcpy(&id, record.data(), 4);
  return id;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

namespace {

// The numbers that `pattern` captures in the one line that starts with
// `prefix`, into `fields` in order.
// A group that matched nothing leaves its field at -1.
void read_numbers(const std::string& out, const std::string& prefix, const std::regex& pattern,
                  std::initializer_list<long*> fields) {
  const auto lines = lines_starting(out, prefix);
  std::smatch match;
  if (lines.size() != 1 || !std::regex_search(lines[0], match, pattern)) {
    ADD_FAILURE() << "no line '" << prefix << "' in:\n" << out;
    return;
  }
  size_t group = 1;
  for (long* field : fields) {
    if (match[group].matched) *field = std::stol(match[group]);
    ++group;
  }
}

}  // namespace

Summary summary_of(const std::string& out, const std::string& unit) {
  static const std::regex pattern(
      "rounds (\\d+) completed (\\d+); requests (\\d+) timeouts (\\d+) bad replies (\\d+) "
      "(?:exceptions (\\d+) )?port errors (\\d+) given up (\\d+); history (\\d+) records");
  Summary s;
  read_numbers(out, "summary " + unit + ":", pattern,
               {&s.rounds, &s.completed, &s.requests, &s.timeouts, &s.bad, &s.exceptions,
                &s.port_errors, &s.given_up, &s.records});
  return s;
}

PortSummary port_summary_of(const std::string& out) {
  static const std::regex pattern(": lost (\\d+) reopened (\\d+)$");
  PortSummary s;
  read_numbers(out, "summary port ", pattern, {&s.lost, &s.reopened});
  return s;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

std::string config_text(const std::string& units) {
  ConfigParts parts;
  parts.units = units;
  return config_text(parts);
}

std::string config_text(const ConfigParts& parts) {
  const std::string one_unit = R"([{
      "name": "ac1", "slave": 1, "data_id": 101,
      "settings": {"appSetting": {"b_mode": "2"}},
      "alarm_levels": {"120800150010": 3}
    }])";
  auto more = [](const std::string& fields) { return fields.empty() ? "" : ", " + fields; };
  return R"({
  "interval_s": 0,
  "bus": {"baud": 9600, "parity": "none", "response_timeout_ms": )" +
         std::to_string(parts.response_timeout_ms) +
         ", \"retries\": " + std::to_string(parts.retries) + more(parts.bus_fields) + R"(},
  "control": {"socket": "control.sock"},
  "units": )" +
         (parts.units.empty() ? one_unit : parts.units) + more(parts.top_fields) + "\n}\n";
}

void GatewayTest::start_unit(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NORVANE_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  unit = std::make_unique<Process>(argv);
  const auto line = unit->next_line("pty ");
  ASSERT_TRUE(line) << "the simulator printed no pty: " << unit->err();
  pty = line->substr(4);
}

std::vector<std::string> GatewayTest::gateway_args(const std::vector<std::string>& args) const {
  const std::string& serial_port = port.empty() ? pty : port;
  std::vector<std::string> argv{NORVANE_GATEWAY, "--config",          dir.file("config.json"),
                                "--plugin",      NORVANE_PLUGIN_PATH, "--port",
                                serial_port,     "--history",         dir.file("history.db")};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

Finished GatewayTest::run_gateway(const std::vector<std::string>& args) {
  Process gateway(gateway_args(args));
  Finished run;
  run.status = gateway.wait_exit(std::chrono::minutes(2));
  run.out = gateway.out();
  run.err = gateway.err();
  return run;
}

std::unique_ptr<Process> GatewayTest::start_gateway(const std::vector<std::string>& args) {
  return std::make_unique<Process>(gateway_args(args));
}

std::vector<std::string> GatewayTest::ctl_args(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{NORVANE_GATEWAY, "ctl", "--socket", dir.file("control.sock")};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

Finished GatewayTest::ctl(const std::vector<std::string>& args) {
  Process client(ctl_args(args));
  Finished run;
  run.status = client.wait_exit();
  run.out = client.out();
  run.err = client.err();
  return run;
}

Json::Value GatewayTest::unit_status(const std::string& name) {
  const Finished run = ctl({"--json", "status", name});
  Json::Value reply;
  if (run.status != 0 || !Json::Reader().parse(run.out, reply)) {
    ADD_FAILURE() << "ctl status: " << run.status << " " << run.out << run.err;
    return Json::Value();
  }
  return reply["units"][0];
}

std::vector<StoredRecord> GatewayTest::records() const {
  std::vector<StoredRecord> records;
  for (auto& row : Database(dir.file("history.db"))
                       .rows("SELECT device, data_id, time, record FROM history ORDER BY id"))
    records.push_back({row[0], std::stoi(row[1]), row[2], row[3]});
  return records;
}

std::vector<StoredEvent> GatewayTest::events() const {
  std::vector<StoredEvent> events;
  for (auto& row :
       Database(dir.file("history.db"))
           .rows("SELECT device, signal_id, state, title, detail, level FROM alarm_events"
                 " ORDER BY id"))
    events.push_back({row[0], row[1], row[2], row[3], row[4], std::stoi(row[5])});
  return events;
}

void GatewayTest::execute(const std::string& sql) const {
  Database(dir.file("history.db")).execute(sql);
}

}  // namespace harness
