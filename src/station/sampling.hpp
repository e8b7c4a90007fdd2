// Sampling: the data mode and the three timers that sample while the station
// reads (the read cycle, the event check, the hourly history sampling). The
// timers are switched in one function, `change`, and nowhere else.
#pragma once
#include "station/station_timer.hpp"

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>

namespace orvane {

enum class DataMode {
  reading,  // the modules are read and the three timers run
  stopped,  // nothing is sampled (the station starts so)
};

// What makes the sampling change.
enum class SamplingChange {
  stop,  // STR, STA, DIS, a device line that won't open, start-up: stopped, timers off
  start_reading,  // the read button, ENB, SET_CONFIG: reading, one read at once, then the timers
  hold,  // the panels are being reset (SET_ID, DELETE_ID): timers off, the mode stays
  resume_all,  // the panels' labels were refreshed: the timers run again
  resume_mode,  // new intervals are in place: the timers run again when reading
};

class Sampling {
 public:
  struct Handlers {
    std::function<void()> on_read_tick;
    std::function<void()> on_event_tick;
    std::function<void()> on_history_tick;
  };

  Sampling(asio::io_context& ioc, SteadyTime& time);

  void set_handlers(Handlers handlers);

  // The one transition of the data mode and the only place the three timers
  // are switched on or off.
  //
  // `resume_all` runs the timers whatever the mode: a SET_ID or DELETE_ID
  // while the station is stopped sets sampling going again though the mode
  // still says stopped. The station has always done so and hosts may count
  // on it, so it is kept, here and only here.
  void change(SamplingChange change);

  // New periods: the timers are held, given their periods and run again
  // when reading (a new period starts from now).
  void set_periods(std::chrono::milliseconds history, std::chrono::milliseconds event, std::chrono::milliseconds read);

  DataMode mode() const { return mode_; }
  const StationTimer& read_timer() const { return read_timer_; }
  const StationTimer& event_timer() const { return event_timer_; }
  const StationTimer& history_timer() const { return history_timer_; }

 private:
  DataMode mode_ = DataMode::stopped;
  StationTimer read_timer_;
  StationTimer event_timer_;
  StationTimer history_timer_;
  Handlers handlers_;
};

}  // namespace orvane
