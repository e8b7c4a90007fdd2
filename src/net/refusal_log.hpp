// Rate limit for the log lines of refused hosts: one line per address per
// minute, however fast a host reconnects. Remembers a bounded number of
// addresses; when full, those not logged within the period are forgotten
// (and when all were, everything is), so a host with many addresses costs
// at most a bounded number of lines a minute and no unbounded memory.
#pragma once
#include "core/limits.hpp"

#include <chrono>
#include <string>
#include <unordered_map>

namespace orvane {

class RefusalLog {
 public:
  using Time = std::chrono::steady_clock::time_point;
  explicit RefusalLog(std::chrono::seconds period = std::chrono::seconds(limits::kRefusalLogSeconds),
                      std::size_t capacity = limits::kRefusalLogAddresses)
      : period_(period), capacity_(capacity) {}

  // True when a refusal of `address` at `now` should be logged.
  bool due(const std::string& address, Time now);
  std::size_t remembered() const { return last_.size(); }

 private:
  std::chrono::seconds period_;
  std::size_t capacity_;
  std::unordered_map<std::string, Time> last_;
};

}  // namespace orvane
