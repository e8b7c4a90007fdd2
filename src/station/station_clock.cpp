#include "station/station_clock.hpp"

#include "core/limits.hpp"

namespace orvane {

StationClock::StationClock(asio::io_context& ioc, const Clock& clock) : timer_(ioc), clock_(clock) {}

void StationClock::set_active(bool active) {
  if (active == active_) return;
  active_ = active;
  ++generation_;
  timer_.cancel();
  if (active_) {
    last_tick_ = clock_.now();
    arm();
  }
}

void StationClock::arm() {
  timer_.expires_after(std::chrono::milliseconds(limits::kClockTickMs));
  const unsigned generation = generation_;
  timer_.async_wait([this, generation](const std::error_code& ec) {
    if (ec || generation != generation_ || !active_) return;
    arm();
    tick();
  });
}

void StationClock::tick() {
  using namespace std::chrono;
  const LocalTime now = clock_.now();
  const LocalTime last = last_tick_;
  last_tick_ = now;
  if (floor<hours>(now) != floor<hours>(last) && hour_change_) hour_change_(last, now);
  if (floor<minutes>(now) != floor<minutes>(last) && minute_change_) minute_change_(last, now);
}

}  // namespace orvane
