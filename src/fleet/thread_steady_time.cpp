#include "fleet/thread_steady_time.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <stdexcept>

namespace orvane::fleet {

class ThreadSteadyTime::SlotAlarm final : public SteadyTime::Alarm {
 public:
  explicit SlotAlarm(ThreadSteadyTime& time) : time_(time) {}
  ~SlotAlarm() override { cancel(); }

  void set(TimePoint at, std::function<void()> handler) override {
    cancel();
    handler_ = std::move(handler);
    slot_ = slot_of(at);
    time_.add(slot_, this, ++generation_);
  }
  void cancel() override {
    if (slot_ < 0) return;
    time_.remove(slot_, this);
    slot_ = -1;
    ++generation_;
    handler_ = nullptr;
  }

  // From the slot's firing: runs the handler if this entry is still the one set.
  void fire(std::uint64_t generation) {
    if (generation != generation_ || slot_ < 0) return;
    slot_ = -1;
    auto handler = std::move(handler_);
    handler_ = nullptr;
    if (handler) handler();
  }

 private:
  ThreadSteadyTime& time_;
  std::function<void()> handler_;
  Slot slot_ = -1;
  std::uint64_t generation_ = 0;
};

ThreadSteadyTime::ThreadSteadyTime(asio::io_context& ioc) : timer_(ioc) {}

ThreadSteadyTime::~ThreadSteadyTime() = default;

std::unique_ptr<SteadyTime::Alarm> ThreadSteadyTime::make_alarm(asio::io_context&) {
  return std::make_unique<SlotAlarm>(*this);
}

ThreadSteadyTime::Slot ThreadSteadyTime::slot_of(TimePoint at) {
  const auto ticks = at.time_since_epoch();
  const auto slot = std::chrono::duration_cast<std::chrono::nanoseconds>(kSlot).count();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ticks).count();
  return std::max<Slot>(0, (ns + slot - 1) / slot);  // the slot ending at or after `at`
}

ThreadSteadyTime::TimePoint ThreadSteadyTime::time_of(Slot slot) {
  return TimePoint(std::chrono::duration_cast<Duration>(kSlot * slot));
}

std::size_t ThreadSteadyTime::pending() const {
  std::size_t n = 0;
  for (const auto& [slot, entries] : slots_) n += entries.size();
  return n;
}

void ThreadSteadyTime::add(Slot slot, SlotAlarm* alarm, std::uint64_t generation) {
  slots_[slot].push_back({alarm, generation});
  if (!catching_up_ && (armed_ < 0 || slot < armed_)) arm();
}

void ThreadSteadyTime::remove(Slot slot, SlotAlarm* alarm) {
  if (firing_)
    for (auto& e : *firing_)
      if (e.alarm == alarm) e.alarm = nullptr;
  const auto it = slots_.find(slot);
  if (it == slots_.end()) return;
  auto& entries = it->second;
  entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.alarm == alarm; }),
                entries.end());
  if (entries.empty()) slots_.erase(it);
}

void ThreadSteadyTime::arm() {
  if (slots_.empty()) {
    armed_ = -1;
    timer_.cancel();
    return;
  }
  armed_ = slots_.begin()->first;
  timer_.expires_at(time_of(armed_));
  timer_.async_wait([this](std::error_code ec) {
    if (!ec) fire();
  });
}

void ThreadSteadyTime::fire() {
  // The slots whose time has come (floor: never a slot still ahead).
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
  fire_due(ns.count() / std::chrono::duration_cast<std::chrono::nanoseconds>(kSlot).count());
}

void ThreadSteadyTime::fire_due(Slot now) {
  catching_up_ = false;
  // Every slot that has come (a late wake-up takes those it missed too),
  // each in a turn of its own after the work the one before posted.
  if (!slots_.empty() && slots_.begin()->first <= now) {
    auto entries = std::move(slots_.begin()->second);
    slots_.erase(slots_.begin());
    // Alarms set again by a handler land in later slots; those cancelled
    // meanwhile are dropped by their generation, and those destroyed
    // meanwhile are struck from the list.
    firing_ = &entries;
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].alarm) entries[i].alarm->fire(entries[i].generation);
    firing_ = nullptr;
  }
  if (!slots_.empty() && slots_.begin()->first <= now) {
    catching_up_ = true;
    asio::post(timer_.get_executor(), [this, now] { fire_due(now); });
    return;
  }
  arm();
}

}  // namespace orvane::fleet
