#include "station/sampling.hpp"

namespace orvane {

Sampling::Sampling(asio::io_context& ioc, SteadyTime& time)
    : read_timer_(ioc, time, "read"), event_timer_(ioc, time, "event check"), history_timer_(ioc, time, "history") {}

void Sampling::set_handlers(Handlers handlers) {
  handlers_ = std::move(handlers);
  read_timer_.set_handler([this] {
    if (handlers_.on_read_tick) handlers_.on_read_tick();
  });
  event_timer_.set_handler([this] {
    if (handlers_.on_event_tick) handlers_.on_event_tick();
  });
  history_timer_.set_handler([this] {
    if (handlers_.on_history_tick) handlers_.on_history_tick();
  });
}

void Sampling::change(SamplingChange change) {
  // The order in which timers are switched on is the order of their first
  // ticks when their periods are equal.
  switch (change) {
    case SamplingChange::stop:
      mode_ = DataMode::stopped;
      [[fallthrough]];
    case SamplingChange::hold:
      history_timer_.set_enabled(false);
      event_timer_.set_enabled(false);
      read_timer_.set_enabled(false);
      return;
    case SamplingChange::start_reading:
      mode_ = DataMode::reading;
      // The first reading is taken at once; a failure there leaves the
      // timers as they were.
      if (handlers_.on_read_tick) handlers_.on_read_tick();
      [[fallthrough]];
    case SamplingChange::resume_mode:
      if (mode_ == DataMode::stopped) return;
      history_timer_.set_enabled(true);
      event_timer_.set_enabled(true);
      read_timer_.set_enabled(true);
      return;
    case SamplingChange::resume_all:
      read_timer_.set_enabled(true);
      event_timer_.set_enabled(true);
      history_timer_.set_enabled(true);
      return;
  }
}

void Sampling::set_periods(std::chrono::milliseconds history, std::chrono::milliseconds event,
                           std::chrono::milliseconds read) {
  change(SamplingChange::hold);
  read_timer_.set_interval(static_cast<int>(read.count()));
  history_timer_.set_interval(static_cast<int>(history.count()));
  event_timer_.set_interval(static_cast<int>(event.count()));
  change(SamplingChange::resume_mode);
}

}  // namespace orvane
