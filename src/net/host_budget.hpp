// Host connections a whole process may hold at once, shared by the command
// servers of the stations it runs. With thousands of stations under one
// descriptor limit, a cap each station works out alone (from the
// descriptors open at its start) says little and costs a walk over
// /proc/self/fd per station; one count for all keeps the process within
// its limit. Whoever owns the stations owns the budget, and keeps it alive
// longer than every server taking from it. Places are taken and given back
// from any station thread. A share of the places is kept for hosts that a
// station's AllowHosts names: strangers to one station, let in by another
// that has no list, can't take every place and lock the listed hosts out.
#pragma once
#include <atomic>
#include <cstddef>
#include <utility>

namespace orvane {

class HostBudget {
 public:
  // One host's place in the budget, given back when the host's session
  // ends (give_back) or the place is destroyed, whichever comes first.
  class Place {
   public:
    Place() = default;  // no place: nothing to give back
    Place(Place&& other) noexcept : budget_(std::exchange(other.budget_, nullptr)) {}
    Place& operator=(Place&& other) noexcept {
      if (this != &other) {
        give_back();
        budget_ = std::exchange(other.budget_, nullptr);
      }
      return *this;
    }
    ~Place() { give_back(); }
    explicit operator bool() const { return budget_ != nullptr; }
    void give_back() noexcept;

   private:
    friend class HostBudget;
    explicit Place(HostBudget* budget) : budget_(budget) {}
    HostBudget* budget_ = nullptr;
  };

  // `hosts`: connections of all the process's stations together, of which
  // an eighth is kept for listed hosts.
  explicit HostBudget(std::size_t hosts) : limit_(hosts), reserve_(hosts / 8) {}
  HostBudget(const HostBudget&) = delete;
  HostBudget& operator=(const HostBudget&) = delete;

  // A place for one more host, or no place when all are taken; a host not
  // named by an allow-list (`listed` false) can't take the reserved ones.
  Place take(bool listed = false);
  // Places for hosts that are `listed` or not.
  std::size_t limit(bool listed = true) const { return listed ? limit_ : limit_ - reserve_; }
  std::size_t in_use() const { return in_use_.load(std::memory_order_relaxed); }

 private:
  const std::size_t limit_;
  const std::size_t reserve_;
  std::atomic<std::size_t> in_use_{0};
};

}  // namespace orvane
