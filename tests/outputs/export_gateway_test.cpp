// The export of a history that the gateway wrote while polling the
// simulated unit: the readings come out in the units and scales that the
// unit keeps, the alarm under its English title.
#include <cstdlib>
#include <ctime>
#include <sstream>

#include <json/json.h>

#include "gateway/history/history_export.h"
#include "gateway/readings/local_time.h"
#include "tests/gateway/harness.h"

namespace {

using namespace gw::readings;
using namespace gw::history;

class ExportOfTheGatewaysHistory : public harness::GatewayTest {};

TEST_F(ExportOfTheGatewaysHistory, HoldsTheSimulatedUnitsValuesInTheirUnits) {
  dir.write("scenario.txt", "0 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  const harness::Finished run = run_gateway({"--rounds", "2"});
  ASSERT_EQ(run.status, 0) << run.err;

  ExportQuery query;
  query.unit = "ac1";
  query.format = ExportFormat::kJsonl;
  std::ostringstream out;
  EXPECT_EQ(export_readings(dir.file("history.db"), query, out).written, 2);
  std::istringstream lines(out.str());
  int rows = 0;
  for (std::string line; std::getline(lines, line); ++rows) {
    Json::Value row;
    ASSERT_TRUE(Json::Reader().parse(line, row)) << line;
    const std::optional<std::time_t> time = parse_time_argument(row["time"].asString());
    ASSERT_TRUE(time) << line;
    EXPECT_LT(std::labs(*time - std::time(nullptr)), 120) << "stamped now, with the offset";
    const Json::Value& readings = row["readings"];
    // The simulated unit: set points 24.0 C and 50.0 %, bands 1.0 C and
    // 5.0 %, limits 30 C, 15 C, 70 %, 30 %, 8760 fan hours.
    EXPECT_EQ(readings["set_temperature"], 24.0) << line;
    EXPECT_EQ(readings["set_humidity"], 50.0);
    EXPECT_EQ(readings["temperature_precision"], 1.0);
    EXPECT_EQ(readings["humidity_precision"], 5.0);
    EXPECT_EQ(readings["return_air_temperature_upper_limit"], 30);
    EXPECT_EQ(readings["return_air_humidity_lower_limit"], 30);
    EXPECT_EQ(readings["indoor_fan_run_time"], 8760 * 3600) << "seconds";
    EXPECT_EQ(readings["run_state"], "running");
    EXPECT_EQ(readings["water_on_floor"], true);
    EXPECT_NEAR(readings["return_air_temperature"].asDouble(), 22.5, 2.0);
    EXPECT_NEAR(readings["return_air_humidity"].asDouble(), 50.0, 25.0);
  }
  EXPECT_EQ(rows, 2);

  std::ostringstream alarms;
  query.format = ExportFormat::kCsv;
  export_alarms(dir.file("history.db"), query, alarms);
  EXPECT_NE(alarms.str().find(",ac1,120800150010,raised,3,Water on the floor,"), std::string::npos)
      << alarms.str();
}

}  // namespace
