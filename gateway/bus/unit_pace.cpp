#include "gateway/bus/unit_pace.h"

#include <algorithm>

namespace gw::bus {
namespace {

UnitPace::Clock::duration seconds(double value) {
  return std::chrono::duration_cast<UnitPace::Clock::duration>(
      std::chrono::duration<double>(value));
}

}  // namespace

void UnitPace::restore_lost(Clock::time_point now, const PaceSettings& settings) {
  set_lost(true, settings);
  failed_in_a_row_ = settings.lost_after_rounds;
  next_try_ = now;
}

std::optional<PaceChange> UnitPace::after_round(bool completed, Clock::time_point started,
                                                Clock::time_point pass_due, base::SystemTime began,
                                                const PaceSettings& settings) {
  if (completed) {
    const int missed = failed_in_a_row_;
    failed_in_a_row_ = 0;
    failing_since_.reset();
    if (!lost_) return std::nullopt;
    set_lost(false, settings);
    return PaceChange{false, missed};
  }
  if (failed_in_a_row_++ == 0) failing_since_ = began;
  if (lost_) {
    backoff_s_ = std::min(2 * backoff_s_, static_cast<double>(settings.max_backoff_s));
    next_try_ = std::min(started, pass_due) + seconds(backoff_s_);
    return std::nullopt;
  }
  if (failed_in_a_row_ < settings.lost_after_rounds) return std::nullopt;
  set_lost(true, settings);
  next_try_ = std::min(started, pass_due) + seconds(backoff_s_);
  return PaceChange{true, failed_in_a_row_};
}

void UnitPace::set_lost(bool lost, const PaceSettings& settings) {
  lost_ = lost;
  backoff_s_ = std::min(std::max(settings.interval_s, kShortestBackoffS),
                        static_cast<double>(settings.max_backoff_s));
}

}  // namespace gw::bus
