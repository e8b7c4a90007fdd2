// A window-style periodic timer on the station's io_context: enabled or not,
// an interval in ms, a handler run on each tick. Changing the interval of an
// enabled timer restarts its period.
#pragma once
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <string>

namespace orvane {

class StationTimer {
 public:
  StationTimer(asio::io_context& ioc, std::string name);

  void set_handler(std::function<void()> handler) { handler_ = std::move(handler); }
  void set_enabled(bool enabled);
  bool enabled() const { return enabled_; }
  void set_interval(int ms);
  int interval() const { return interval_ms_; }
  const std::string& name() const { return name_; }

 private:
  void arm(std::chrono::steady_clock::time_point at);

  asio::steady_timer timer_;
  std::string name_;
  std::function<void()> handler_;
  bool enabled_ = false;
  int interval_ms_ = 1000;
  unsigned generation_ = 0;  // ticks of an older arming are dropped
};

}  // namespace orvane
