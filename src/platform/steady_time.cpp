#include "platform/steady_time.hpp"

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <thread>

namespace orvane {
namespace {

class AsioAlarm final : public SteadyTime::Alarm {
 public:
  explicit AsioAlarm(asio::io_context& ioc) : timer_(ioc) {}

  void set(SteadyTime::TimePoint at, std::function<void()> handler) override {
    const unsigned generation = ++generation_;
    handler_ = std::move(handler);
    timer_.expires_at(at);
    timer_.async_wait([this, generation](const std::error_code& ec) {
      // A wait cancelled (or the alarm gone) ends here without touching it;
      // a completion already queued when the alarm was set again or
      // cancelled is dropped by its generation.
      if (ec || generation != generation_) return;
      auto handler = std::move(handler_);
      handler_ = nullptr;
      if (handler) handler();
    });
  }

  void cancel() override {
    ++generation_;
    handler_ = nullptr;
    timer_.cancel();
  }

 private:
  asio::steady_timer timer_;
  std::function<void()> handler_;
  unsigned generation_ = 0;
};

}  // namespace

std::unique_ptr<SteadyTime::Alarm> RealSteadyTime::make_alarm(asio::io_context& ioc) {
  return std::make_unique<AsioAlarm>(ioc);
}

void RealSteadyTime::pause_until(TimePoint until, const std::atomic<bool>& cancelled) {
  for (auto now = std::chrono::steady_clock::now(); !cancelled && now < until; now = std::chrono::steady_clock::now())
    std::this_thread::sleep_for(std::min<Duration>(until - now, std::chrono::milliseconds(20)));
}

SteadyTime& real_steady_time() {
  // process-wide: the machine's steady clock is one for the whole process,
  // and this object holds no state of its own.
  static RealSteadyTime time;
  return time;
}

}  // namespace orvane
