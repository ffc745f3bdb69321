#include "gateway/history/schema.h"

namespace gw::history::schema {

std::string columns(std::initializer_list<const char*> names) {
  std::string text;
  for (const char* name : names) text += (text.empty() ? "" : ", ") + std::string(name);
  return text;
}

std::string create_statements() {
  using namespace std::string_literals;
  namespace r = records;
  namespace e = events;
  return "CREATE TABLE IF NOT EXISTS "s + r::kTable + " (" + r::kId + " INTEGER PRIMARY KEY, " +
         r::kDevice + " TEXT NOT NULL, " + r::kDataId + " INTEGER NOT NULL, " + r::kTime +
         " TEXT NOT NULL, " + r::kRecord + " BLOB NOT NULL, " + r::kReload +
         " INTEGER NOT NULL DEFAULT 0);"
         // A unit's newest records (the reload at start).
         "CREATE INDEX IF NOT EXISTS history_by_device ON " +
         r::kTable + " (" + r::kDevice + ", " + r::kId +
         ");"
         // A unit's records of a period (export, the page's charts); built when
         // a file of an earlier gateway is opened (1.4 s for a million records).
         "CREATE INDEX IF NOT EXISTS history_by_device_time ON " +
         r::kTable + " (" + r::kDevice + ", " + r::kTime + ");" + "CREATE TABLE IF NOT EXISTS " +
         e::kTable + " (" + e::kId + " INTEGER PRIMARY KEY, " + e::kTime + " TEXT NOT NULL, " +
         e::kDevice + " TEXT NOT NULL, " + e::kSignalId + " TEXT NOT NULL, " + e::kLevel +
         " INTEGER NOT NULL, " + e::kState + " TEXT NOT NULL CHECK (" + e::kState + " IN ('" +
         e::kRaised + "', '" + e::kCleared + "')), " + e::kTitle + " TEXT NOT NULL, " + e::kDetail +
         " TEXT NOT NULL);" + "CREATE INDEX IF NOT EXISTS alarm_events_by_device ON " + e::kTable +
         " (" + e::kDevice + ", " + e::kSignalId + ", " + e::kId + ");";
}

}  // namespace gw::history::schema
