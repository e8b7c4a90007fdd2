#include "net/host_budget.hpp"

namespace orvane {

HostBudget::Place HostBudget::take(bool listed) {
  const std::size_t places = limit(listed);
  // Only a count is shared, nothing published with it: relaxed order will do.
  std::size_t now = in_use_.load(std::memory_order_relaxed);
  do {
    if (now >= places) return {};
  } while (!in_use_.compare_exchange_weak(now, now + 1, std::memory_order_relaxed));
  return Place(this);
}

void HostBudget::Place::give_back() noexcept {
  if (budget_) std::exchange(budget_, nullptr)->in_use_.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace orvane
