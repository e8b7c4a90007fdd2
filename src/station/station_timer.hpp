// A window-style periodic timer on the station thread: enabled or not, an
// interval in ms, a handler run on each tick. Changing the interval of an
// enabled timer restarts its period. Its time comes from the station's
// SteadyTime.
#pragma once
#include "platform/steady_time.hpp"

#include <functional>
#include <memory>
#include <string>

namespace orvane {

class StationTimer {
 public:
  StationTimer(asio::io_context& ioc, SteadyTime& time, std::string name);

  void set_handler(std::function<void()> handler) { handler_ = std::move(handler); }
  void set_enabled(bool enabled);
  bool enabled() const { return enabled_; }
  void set_interval(int ms);
  int interval() const { return interval_ms_; }
  const std::string& name() const { return name_; }

 private:
  void arm(SteadyTime::TimePoint at);

  SteadyTime& time_;
  std::unique_ptr<SteadyTime::Alarm> alarm_;
  std::string name_;
  std::function<void()> handler_;
  bool enabled_ = false;
  int interval_ms_ = 1000;
};

}  // namespace orvane
