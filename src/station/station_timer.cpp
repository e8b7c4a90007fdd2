#include "station/station_timer.hpp"

#include <algorithm>

namespace orvane {

StationTimer::StationTimer(asio::io_context& ioc, std::string name) : timer_(ioc), name_(std::move(name)) {}

void StationTimer::set_enabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  ++generation_;
  timer_.cancel();
  if (enabled_) arm(std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_));
}

void StationTimer::set_interval(int ms) {
  ms = std::max(ms, 1);
  if (ms == interval_ms_) return;
  interval_ms_ = ms;
  if (enabled_) {
    ++generation_;
    timer_.cancel();
    arm(std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_));
  }
}

void StationTimer::arm(std::chrono::steady_clock::time_point at) {
  timer_.expires_at(at);
  const unsigned generation = generation_;
  timer_.async_wait([this, generation, at](const std::error_code& ec) {
    if (ec || generation != generation_ || !enabled_) return;
    // Next period from the planned expiry, so ticks don't drift; a handler
    // that overran its period skips the lost ticks instead of bunching them.
    const auto period = std::chrono::milliseconds(interval_ms_);
    auto next = at + period;
    const auto now = std::chrono::steady_clock::now();
    if (next <= now) next = now + period;
    arm(next);
    if (handler_) handler_();
  });
}

}  // namespace orvane
