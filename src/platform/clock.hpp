// Local wall time, injected so tests can cross minutes, hours, midnight and
// month ends in no time.
#pragma once
#include "core/local_time.hpp"

#include <atomic>

namespace orvane {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime now() const = 0;
};

// The machine's local time (time zone of the process).
class SystemClock final : public Clock {
 public:
  LocalTime now() const override;
};

// A clock that only moves when told to. Safe to read from any thread.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(LocalTime start = make_local_time(2006, 12, 7, 12, 30)) : now_(start.time_since_epoch().count()) {}
  LocalTime now() const override { return LocalTime{std::chrono::milliseconds{now_.load()}}; }
  void set(LocalTime t) { now_ = t.time_since_epoch().count(); }
  void advance(std::chrono::milliseconds d) { now_ += d.count(); }

 private:
  std::atomic<long long> now_;
};

}  // namespace orvane
