// A wall clock that only moves when a test says so: minutes, hours,
// midnight and month ends are crossed in no time. Safe to read from any thread.
#pragma once
#include "platform/clock.hpp"

#include <atomic>
#include <chrono>

namespace orvane::test {

class ManualClock final : public Clock {
 public:
  explicit ManualClock(LocalTime start = make_local_time(2006, 12, 7, 12, 30))
      : now_(start.time_since_epoch().count()) {}
  LocalTime now() const override { return LocalTime{std::chrono::milliseconds{now_.load()}}; }
  void set(LocalTime t) { now_ = t.time_since_epoch().count(); }
  void advance(std::chrono::milliseconds d) { now_ += d.count(); }

 private:
  std::atomic<long long> now_;
};

}  // namespace orvane::test
