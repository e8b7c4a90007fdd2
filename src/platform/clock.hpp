// Local wall time, injected so tests can cross minutes, hours, midnight and
// month ends in no time (tests/support/manual_clock.hpp).
#pragma once
#include "core/local_time.hpp"

#include <atomic>
#include <cstdint>

namespace orvane {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime now() const = 0;
};

// The machine's local time (time zone of the process). Safe from any thread.
class SystemClock final : public Clock {
 public:
  LocalTime now() const override;

 private:
  // The zone's offset is looked up once per second: every reply to a host
  // asks the time, and the lookup takes the zone lock. The second and its
  // offset share one word, so any thread reads a pair that belongs together.
  mutable std::atomic<std::uint64_t> offset_of_second_{0};
};

}  // namespace orvane
