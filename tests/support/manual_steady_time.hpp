// Steady time that only moves when a test says so. advance() runs the
// alarms that come due, each at its own time and in time order (an alarm
// set by a handler for a time within the advance runs too); a worker's pause
// moves the time to its end at once and is recorded.
#pragma once
#include "platform/steady_time.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace orvane::test {

class ManualSteadyTime final : public SteadyTime {
 public:
  ManualSteadyTime() = default;
  ManualSteadyTime(const ManualSteadyTime&) = delete;
  ManualSteadyTime& operator=(const ManualSteadyTime&) = delete;

  TimePoint now() const override { return TimePoint(Duration(now_.load())); }

  std::unique_ptr<Alarm> make_alarm(asio::io_context&) override { return std::make_unique<ManualAlarm>(*this); }

  void pause_until(TimePoint until, const std::atomic<bool>& cancelled) override {
    std::lock_guard lock(pauses_mutex_);
    pauses_.push_back(until - now());
    if (!cancelled && until > now()) now_ = until.time_since_epoch().count();
  }

  // Moves the time forward by `d`, firing due alarms on the calling thread.
  void advance(Duration d) {
    const auto until = now_.load() + d.count();
    while (ManualAlarm* next = earliest_due(until)) {
      now_ = std::max(now_.load(), next->at_.time_since_epoch().count());
      next->fire();
    }
    now_ = std::max(now_.load(), until);
  }

  // The lengths of the pauses asked for so far.
  std::vector<Duration> pauses() const {
    std::lock_guard lock(pauses_mutex_);
    return pauses_;
  }
  // Alarms waiting now.
  std::size_t pending() const {
    return static_cast<std::size_t>(std::count_if(alarms_.begin(), alarms_.end(), [](auto* a) { return a->armed_; }));
  }

 private:
  struct ManualAlarm final : Alarm {
    explicit ManualAlarm(ManualSteadyTime& time) : time_(time) { time_.alarms_.push_back(this); }
    ~ManualAlarm() override { std::erase(time_.alarms_, this); }
    void set(TimePoint at, std::function<void()> handler) override {
      at_ = at;
      handler_ = std::move(handler);
      armed_ = true;
      order_ = ++time_.sets_;
    }
    void cancel() override {
      armed_ = false;
      handler_ = nullptr;
    }
    void fire() {
      armed_ = false;
      auto handler = std::move(handler_);
      handler_ = nullptr;
      if (handler) handler();
    }
    ManualSteadyTime& time_;
    TimePoint at_{};
    std::function<void()> handler_;
    bool armed_ = false;
    unsigned long order_ = 0;  // alarms due at the same time fire in the order they were set
  };

  ManualAlarm* earliest_due(Duration::rep until) const {
    ManualAlarm* best = nullptr;
    for (auto* a : alarms_)
      if (a->armed_ && a->at_.time_since_epoch().count() <= until &&
          (!best || a->at_ < best->at_ || (a->at_ == best->at_ && a->order_ < best->order_)))
        best = a;
    return best;
  }

  // Starts well away from zero, so time before "now" can be formed.
  std::atomic<Duration::rep> now_{std::chrono::duration_cast<Duration>(std::chrono::hours(1)).count()};
  std::vector<ManualAlarm*> alarms_;
  unsigned long sets_ = 0;
  mutable std::mutex pauses_mutex_;
  std::vector<Duration> pauses_;
};

}  // namespace orvane::test
