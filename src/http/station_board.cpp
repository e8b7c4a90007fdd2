#include "http/station_board.hpp"

#include <algorithm>
#include <utility>

namespace orvane::http {

void StationBoard::add(const std::string& name, Post post) {
  std::lock_guard lock(mutex_);
  slots_.push_back({name, std::move(post), nullptr});
}

const StationBoard::Slot* StationBoard::find(const std::string& name) const {
  const auto it = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.name == name; });
  return it == slots_.end() ? nullptr : &*it;
}

void StationBoard::publish(const std::string& name, std::shared_ptr<const StationView> view) {
  std::shared_ptr<const StationView> old;  // freed outside the lock
  std::lock_guard lock(mutex_);
  if (auto* slot = const_cast<Slot*>(find(name))) old = std::exchange(slot->view, std::move(view));
}

std::vector<StationBoard::Entry> StationBoard::entries() const {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  out.reserve(slots_.size());
  for (const auto& s : slots_) out.push_back({s.name, s.view});
  return out;
}

bool StationBoard::has(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return find(name) != nullptr;
}

std::shared_ptr<const StationView> StationBoard::view(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto* slot = find(name);
  return slot ? slot->view : nullptr;
}

bool StationBoard::post(const std::string& name, std::function<void(Station&)> action) const {
  Post post;
  {
    std::lock_guard lock(mutex_);
    const auto* slot = find(name);
    if (!slot) return false;
    post = slot->post;
  }
  post(std::move(action));
  return true;
}

}  // namespace orvane::http
