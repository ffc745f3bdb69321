// The history file's schema: its two tables, their columns and indexes.
// The writer and every reader name a table or a column only through these
// constants, so that the file is described once.
#pragma once

#include <initializer_list>
#include <string>

namespace gw::history::schema {

// One row a stored record: a unit's 121-byte record of one round, or the
// record a unit's device was handed back at a reload.
namespace records {
inline constexpr char kTable[] = "history";
inline constexpr char kId[] = "id";           // rowid: the order rows were stored in
inline constexpr char kDevice[] = "device";   // the unit's name
inline constexpr char kDataId[] = "data_id";  // the device's data id
inline constexpr char kTime[] = "time";       // local time, "YYYYMMDD-HHMMSS"
inline constexpr char kRecord[] = "record";   // the record's bytes
inline constexpr char kReload[] =
    "reload";  // 1: stored at a reload (files of early gateways lack it)
}  // namespace records

// One row an alarm raised or cleared.
namespace events {
inline constexpr char kTable[] = "alarm_events";
inline constexpr char kId[] = "id";
inline constexpr char kTime[] = "time";  // local time, as the records'
inline constexpr char kDevice[] = "device";
inline constexpr char kSignalId[] = "signal_id";
inline constexpr char kLevel[] = "level";  // 1 warning, 2 major, 3 critical
inline constexpr char kState[] = "state";  // kRaised or kCleared
inline constexpr char kTitle[] = "title";  // as the device named it
inline constexpr char kDetail[] = "detail";
inline constexpr char kRaised[] = "raised";
inline constexpr char kCleared[] = "cleared";
}  // namespace events

// "a, b, c"
std::string columns(std::initializer_list<const char*> names);

// The statements that make the tables and their indexes where they are
// missing (a file of an earlier gateway gains the indexes).
std::string create_statements();

}  // namespace gw::history::schema
