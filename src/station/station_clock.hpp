// The clock component: ticks every 250 ms while active and signals a change
// of hour or of minute between two consecutive ticks, passing the time of
// the last tick before the change and the new time.
#pragma once
#include "core/local_time.hpp"
#include "platform/clock.hpp"
#include "platform/steady_time.hpp"

#include <functional>
#include <memory>

namespace orvane {

class StationClock {
 public:
  using ChangeHandler = std::function<void(LocalTime last_tick, LocalTime now)>;

  StationClock(asio::io_context& ioc, SteadyTime& time, const Clock& clock);

  void on_hour_change(ChangeHandler h) { hour_change_ = std::move(h); }
  void on_minute_change(ChangeHandler h) { minute_change_ = std::move(h); }

  void set_active(bool active);
  bool active() const { return active_; }

  // One tick: reads the clock and signals changes since the last tick.
  // Called by the 250 ms timer; tests call it after moving a manual clock.
  void tick();

 private:
  void arm();

  SteadyTime& time_;
  std::unique_ptr<SteadyTime::Alarm> alarm_;
  const Clock& clock_;
  bool active_ = false;
  LocalTime last_tick_{};
  ChangeHandler hour_change_;
  ChangeHandler minute_change_;
};

}  // namespace orvane
