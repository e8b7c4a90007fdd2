#include "station/station_clock.hpp"

#include "core/limits.hpp"

namespace orvane {

StationClock::StationClock(asio::io_context& ioc, SteadyTime& time, const Clock& clock)
    : time_(time), alarm_(time.make_alarm(ioc)), clock_(clock) {}

void StationClock::set_active(bool active) {
  if (active == active_) return;
  active_ = active;
  alarm_->cancel();
  if (active_) {
    last_tick_ = clock_.now();
    arm();
  }
}

void StationClock::arm() {
  alarm_->set(time_.now() + std::chrono::milliseconds(limits::kClockTickMs), [this] {
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
