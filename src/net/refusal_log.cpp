#include "net/refusal_log.hpp"

#include <iterator>

namespace orvane {

bool RefusalLog::due(const std::string& address, Time now) {
  if (const auto it = last_.find(address); it != last_.end()) {
    if (now - it->second < period_) return false;
    it->second = now;
    return true;
  }
  if (last_.size() >= capacity_) {
    for (auto it = last_.begin(); it != last_.end();)
      it = now - it->second >= period_ ? last_.erase(it) : std::next(it);
    if (last_.size() >= capacity_) last_.clear();
  }
  last_.emplace(address, now);
  return true;
}

}  // namespace orvane
