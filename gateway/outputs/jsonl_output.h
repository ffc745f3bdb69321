// JSON Lines for log shippers (Telegraf, Vector, Fluent Bit): one JSON
// object a line for every completed round,
//
//   {"unit":"ac1","time":"2024-05-01T12:00:05+02:00","round":1480,"state":"answering",
//    "readings":{"set_temperature":24.0,...},"alarms":[{"signal_id":...,"title":...}]}
//
// on standard output (--output jsonl) or appended to a file ("jsonl":
// {"path": FILE}; opened again on reopen(), after a log rotation). Written
// on its own thread from the event stream.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "gateway/outputs/event_reader.h"

namespace gw::outputs {

class JsonLinesOutput final : public EventReader {
 public:
  // Standard output when `path` is empty: its descriptor is taken for the
  // lines, and descriptor 1 goes to standard error (with the record lines,
  // log::move_records_to_log). Throws std::runtime_error when the file
  // cannot be opened.
  JsonLinesOutput(state::EventStream& stream, std::string path);
  ~JsonLinesOutput() override;

  // The file is opened again before the next line (SIGHUP).
  void reopen() { reopen_ = true; }

 private:
  void on_event(const state::Event& event) override;
  void on_end() override;
  void open();

  const std::string path_;
  std::FILE* file_ = nullptr;
  std::atomic<bool> reopen_{false};
  bool failing_ = false;  // a write failed and was logged
};

}  // namespace gw::outputs
