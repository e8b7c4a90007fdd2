// Local wall time, injected so tests can cross minutes, hours, midnight and
// month ends in no time (tests/support/manual_clock.hpp).
#pragma once
#include "core/local_time.hpp"

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

}  // namespace orvane
