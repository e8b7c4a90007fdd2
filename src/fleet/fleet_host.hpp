// The fleet host: every station of a fleet file in one process, spread over
// a few station threads. Each thread runs its own io_context with its
// stations on it (built, started and ended there, never touched from
// elsewhere); the main thread only waits for their reports and signals.
#pragma once
#include "fleet/fleet_file.hpp"
#include "fleet/upload_pool.hpp"
#include "net/host_budget.hpp"
#include "station/event_uplink.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane::http {
class StationBoard;
}

namespace orvane::fleet {

struct StartReport {
  std::size_t stations = 0;  // described
  std::size_t up = 0;  // listening
  std::vector<std::pair<long, std::string>> failures;  // station index, reason
  int first_port = 0;  // the port of the first station up (what a fleet of one listens on)
};

class FleetHost {
 public:
  struct Options {
    int threads = 0;  // 0: the fleet file's, else the number of cores
    // An FTP client: one per upload session of the pool (and one per
    // station for dial-up); none: events stay buffered.
    std::function<std::unique_ptr<EventUplink>()> make_uplink;
  };

  FleetHost(FleetPlan plan, Options options);
  ~FleetHost();  // stop()
  FleetHost(const FleetHost&) = delete;
  FleetHost& operator=(const FleetHost&) = delete;

  // Builds and starts every station on its thread and returns once each
  // is up or has failed. `progress` (optional) hears stations up so far.
  StartReport start(const std::function<void(std::size_t done, std::size_t of)>& progress = {});
  // Puts every station that started on `board` (in the fleet file's order,
  // each by its name) and has each station thread publish its stations'
  // views from now on. After start(), before the endpoint serves; `board`
  // must outlive stop(). Returns once every station's first view is there.
  void attach(http::StationBoard& board);
  // Ends every station, in order on each thread, and the threads. Waits.
  void stop() noexcept;

  std::size_t thread_count() const { return threads_.size(); }
  // Event appends of all stations and the flushes that made them durable
  // (read after stop(), or as a rough figure while running).
  struct Totals {
    std::uint64_t appends = 0;
    std::uint64_t flushes = 0;
    std::chrono::steady_clock::duration longest_flush{};
  };
  Totals totals() const;
  UploadPoolStats upload_stats() const;
  // Host connections all stations together may hold.
  std::size_t host_budget() const { return hosts_ ? hosts_->limit() : 0; }
  // True when every station thread has turned within `within`.
  bool threads_turning(std::chrono::steady_clock::duration within = std::chrono::seconds(1));

 private:
  struct Thread;
  FleetPlan plan_;
  Options options_;
  std::unique_ptr<HostBudget> hosts_;
  std::unique_ptr<UploadPool> pool_;  // outlives every station
  std::vector<std::unique_ptr<Thread>> threads_;
  bool stopped_ = false;
};

}  // namespace orvane::fleet
