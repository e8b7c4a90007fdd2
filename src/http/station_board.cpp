#include "http/station_board.hpp"

#include <stdexcept>
#include <utility>

namespace orvane::http {

StationBoard::Slot StationBoard::add(const std::string& name, Post post) {
  std::lock_guard lock(mutex_);
  const Slot slot = stations_.size();
  if (!by_name_.emplace(name, slot).second) throw std::invalid_argument("two stations named " + name);
  stations_.push_back({name, std::move(post), nullptr});
  return slot;
}

void StationBoard::publish(Slot slot, std::shared_ptr<const StationView> view) {
  std::shared_ptr<const StationView> old;  // freed outside the lock
  std::lock_guard lock(mutex_);
  if (slot < stations_.size()) old = std::exchange(stations_[slot].view, std::move(view));
}

void StationBoard::publish(std::vector<std::pair<Slot, std::shared_ptr<const StationView>>> views) {
  {
    std::lock_guard lock(mutex_);
    // Swapped in, so the views they replace are freed outside the lock.
    for (auto& [slot, view] : views)
      if (slot < stations_.size()) std::swap(stations_[slot].view, view);
  }
}

std::vector<StationBoard::Entry> StationBoard::entries() const {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  out.reserve(stations_.size());
  for (const auto& s : stations_) out.push_back({s.name, s.view});
  return out;
}

std::size_t StationBoard::size() const {
  std::lock_guard lock(mutex_);
  return stations_.size();
}

std::optional<StationBoard::Slot> StationBoard::find(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = by_name_.find(name);
  if (it == by_name_.end()) return std::nullopt;
  return it->second;
}

std::shared_ptr<const StationView> StationBoard::view(Slot slot) const {
  std::lock_guard lock(mutex_);
  return slot < stations_.size() ? stations_[slot].view : nullptr;
}

bool StationBoard::post(const std::string& name, Action action) const {
  const auto slot = find(name);
  if (!slot) return false;
  post(*slot, std::move(action));
  return true;
}

void StationBoard::post(Slot slot, Action action) const {
  Post post;
  {
    std::lock_guard lock(mutex_);
    if (slot >= stations_.size()) return;
    post = stations_[slot].post;
  }
  post(std::move(action));
}

}  // namespace orvane::http
