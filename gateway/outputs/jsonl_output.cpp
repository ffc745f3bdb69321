#include "gateway/outputs/jsonl_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "gateway/base/log.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/render.h"

namespace gw::outputs {

JsonLinesOutput::JsonLinesOutput(state::EventStream& stream, std::string path)
    : EventReader(stream, 4096, "jsonl"), path_(std::move(path)) {
  open();
}

JsonLinesOutput::~JsonLinesOutput() {
  stop();
  join();
  if (file_ != nullptr) std::fclose(file_);
}

void JsonLinesOutput::open() {
  if (path_.empty()) {
    // Standard output is the lines' alone: its descriptor is kept for them.
    // Descriptor 1, where the plug-in prints its own lines, is read into the
    // log already, or else becomes standard error.
    const int standard_output = base::log::standard_output_fd();
    const int fd = ::fcntl(standard_output, F_DUPFD_CLOEXEC, 3);
    const bool moved =
        standard_output != STDOUT_FILENO || ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
    if (fd < 0 || !moved || !(file_ = ::fdopen(fd, "w")))
      throw std::runtime_error(std::string("--output jsonl: standard output: ") +
                               std::strerror(errno));
    return;
  }
  // A file the gateway makes is 0640 whatever the umask (the readings are
  // the site's); one that exists keeps its mode.
  int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd >= 0)
    ::fchmod(fd, 0640);
  else if (errno == EEXIST)
    fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "a");
  if (file == nullptr) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("jsonl.path " + path_ + ": cannot be opened: " + std::strerror(error));
  }
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
}

void JsonLinesOutput::on_event(const state::Event& event) {
  const auto* round = std::get_if<state::RoundCompleted>(&event);
  if (round == nullptr) return;
  if (reopen_.exchange(false) && !path_.empty()) {
    try {
      open();
    } catch (const std::runtime_error& error) {
      base::log::error(error.what());  // the old file goes on
    }
  }
  const std::string line = readings::json_text(round_json(*round)) + "\n";
  flockfile(file_);
  const bool written =
      std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0;
  funlockfile(file_);
  if (!written && !failing_)
    base::log::error("jsonl: cannot write " + (path_.empty() ? "to standard output" : path_) +
                     ": " + std::strerror(errno));
  failing_ = !written;
}

void JsonLinesOutput::on_end() {
  if (file_ != nullptr) std::fflush(file_);
}

}  // namespace gw::outputs
