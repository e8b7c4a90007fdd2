// Tells the service manager (systemd, Type=notify) how the station is
// doing: ready once hosts can connect, stopping at the end, and a watchdog
// fed from the station thread itself, so a station thread that hangs stops
// feeding it and the service manager restarts the station. Outside a
// service manager every call does nothing.
#pragma once
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace orvane {

class ServiceNotifier {
 public:
  explicit ServiceNotifier(asio::io_context& ioc);

  // READY=1 with a status line; starts feeding the watchdog when the
  // service manager asked for one (WatchdogSec). Station thread.
  void ready(const std::string& status);
  // STOPPING=1; the watchdog is fed no more.
  void stopping();
  // Half the watchdog period, or zero when no watchdog is asked for.
  std::chrono::microseconds feed_interval() const { return interval_; }
  // Fed only while `healthy` says so (a process of several busy threads
  // asks each of them); by default the feeding thread's own turn is proof.
  void set_health_check(std::function<bool()> healthy) { healthy_ = std::move(healthy); }
  // STATUS= line only.
  void status(const std::string& text);

 private:
  void feed();

  asio::steady_timer timer_;
  std::chrono::microseconds interval_{0};
  std::function<bool()> healthy_;
};

}  // namespace orvane
