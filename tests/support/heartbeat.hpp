// A timer that beats every few milliseconds on a loop and keeps how late
// its worst beat came: what other work on that loop made it wait.
#pragma once
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>

namespace orvane::test {

class Heartbeat {
 public:
  Heartbeat(asio::io_context& ioc, std::chrono::milliseconds period) : timer_(ioc), period_(period) { arm(); }
  // The loop must run once more after stop() for the cancelled wait to end.
  ~Heartbeat() { stop(); }
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  void stop() {
    beating_ = false;
    timer_.cancel();
  }
  std::chrono::nanoseconds worst() const { return worst_; }
  int beats() const { return beats_; }

 private:
  void arm() {
    const auto due = std::chrono::steady_clock::now() + period_;
    timer_.expires_at(due);
    timer_.async_wait([this, due](std::error_code ec) {
      if (ec || !beating_) return;
      worst_ = std::max<std::chrono::nanoseconds>(worst_, std::chrono::steady_clock::now() - due);
      ++beats_;
      arm();
    });
  }

  asio::steady_timer timer_;
  std::chrono::milliseconds period_;
  bool beating_ = true;
  std::chrono::nanoseconds worst_{0};
  int beats_ = 0;
};

}  // namespace orvane::test
