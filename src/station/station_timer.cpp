#include "station/station_timer.hpp"

#include <algorithm>

namespace orvane {

StationTimer::StationTimer(asio::io_context& ioc, SteadyTime& time, std::string name)
    : time_(time), alarm_(time.make_alarm(ioc)), name_(std::move(name)) {}

void StationTimer::set_enabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_)
    arm(time_.now() + std::chrono::milliseconds(interval_ms_));
  else
    alarm_->cancel();
}

void StationTimer::set_interval(int ms) {
  ms = std::max(ms, 1);
  if (ms == interval_ms_) return;
  interval_ms_ = ms;
  if (enabled_) arm(time_.now() + std::chrono::milliseconds(interval_ms_));
}

void StationTimer::arm(SteadyTime::TimePoint at) {
  alarm_->set(at, [this, at] {
    // Next period from the planned expiry, so ticks don't drift; a handler
    // that overran its period skips the lost ticks instead of bunching them.
    const auto period = std::chrono::milliseconds(interval_ms_);
    auto next = at + period;
    const auto now = time_.now();
    if (next <= now) next = now + period;
    arm(next);
    if (handler_) handler_();
  });
}

}  // namespace orvane
