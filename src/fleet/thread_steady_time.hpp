// The steady time of one station thread's stations: their alarms (read,
// event, history and realtime timers, the 250 ms clock) share one Asio timer
// and fire in slots of kSlot, so ten thousand stations wake their thread a
// couple of hundred times a second instead of seventy thousand. An alarm
// fires in the slot that ends at or after its time: at most kSlot late,
// never early, and a periodic timer that re-arms from its planned time does
// not drift. Slots due together (a late wake-up) fire one per turn, so the
// work the earlier ones posted runs before the later ones fire, as it would
// have had the thread been on time.
#pragma once
#include "platform/steady_time.hpp"

#include <asio/steady_timer.hpp>

#include <cstdint>
#include <map>
#include <vector>

namespace orvane::fleet {

class ThreadSteadyTime final : public SteadyTime {
 public:
  static constexpr std::chrono::milliseconds kSlot{5};

  // Alarms are made for `ioc` only (the thread's).
  explicit ThreadSteadyTime(asio::io_context& ioc);
  ~ThreadSteadyTime() override;  // after every alarm made here
  ThreadSteadyTime(const ThreadSteadyTime&) = delete;
  ThreadSteadyTime& operator=(const ThreadSteadyTime&) = delete;

  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  std::unique_ptr<Alarm> make_alarm(asio::io_context& ioc) override;
  void pause_until(TimePoint until, const std::atomic<bool>& cancelled) override {
    real_steady_time().pause_until(until, cancelled);
  }

  std::size_t pending() const;

 private:
  class SlotAlarm;
  using Slot = std::int64_t;
  struct Entry {
    SlotAlarm* alarm;
    std::uint64_t generation;
  };
  void add(Slot slot, SlotAlarm* alarm, std::uint64_t generation);
  void remove(Slot slot, SlotAlarm* alarm);
  void arm();
  void fire();
  void fire_due(Slot now);
  static Slot slot_of(TimePoint at);
  static TimePoint time_of(Slot slot);

  asio::steady_timer timer_;
  std::map<Slot, std::vector<Entry>> slots_;
  Slot armed_ = -1;  // the slot the timer waits for, -1: none
  bool catching_up_ = false;  // a turn firing the next due slot is posted
  std::vector<Entry>* firing_ = nullptr;  // the slot being fired
};

}  // namespace orvane::fleet
