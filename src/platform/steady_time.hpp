// Steady (monotonic) time, injected next to the wall clock: the station's
// timers, the upload budgets and the dial-up pauses take their time from
// here, so tests move it by hand (tests/support/manual_steady_time.hpp)
// instead of waiting.
#pragma once
#include <asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace orvane {

class SteadyTime {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // One pending call at a time: its handler runs once, on the thread that
  // runs `ioc`, when the time reaches `at`. Setting it again or cancelling
  // drops the pending call, even one whose time has already come.
  class Alarm {
   public:
    virtual ~Alarm() = default;
    virtual void set(TimePoint at, std::function<void()> handler) = 0;
    virtual void cancel() = 0;
  };

  virtual ~SteadyTime() = default;
  // Any thread.
  virtual TimePoint now() const = 0;
  virtual std::unique_ptr<Alarm> make_alarm(asio::io_context& ioc) = 0;
  // A worker thread's pause until `until`; returns early once `cancelled`
  // is set (seen within 20 ms).
  virtual void pause_until(TimePoint until, const std::atomic<bool>& cancelled) = 0;
};

// The machine's steady clock; alarms are Asio timers.
class RealSteadyTime final : public SteadyTime {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  std::unique_ptr<Alarm> make_alarm(asio::io_context& ioc) override;
  void pause_until(TimePoint until, const std::atomic<bool>& cancelled) override;
};

// The one real steady time of the process (stateless, shared).
SteadyTime& real_steady_time();

}  // namespace orvane
