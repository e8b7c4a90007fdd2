// The upload sessions a fleet's stations share: a few threads, each with an
// uplink of its own, running the stations' uploads first come, first
// served. A station has at most one upload queued or running and each is
// bounded by the station's upload budget, so a long backlog takes one turn
// and then queues again behind the others: no station waits out another's
// backlog, and the fleet holds a few FTP connections instead of one per
// station.
#pragma once
#include "core/limits.hpp"
#include "station/event_uplink.hpp"
#include "station/upload_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orvane {

// What the pool has done, for the benchmark and the fleet's status.
struct UploadPoolStats {
  std::size_t sessions = 0;  // threads, with an uplink each
  std::size_t busy = 0;  // sessions running a job now
  std::size_t peak_busy = 0;  // most sessions running jobs at once, ever
  std::size_t queued = 0;  // jobs waiting for a session
  std::uint64_t jobs_run = 0;  // jobs that ran to their end
  std::uint64_t jobs_dropped = 0;  // jobs dropped by stop() before their turn
};

class UploadPool final : public UploadRunner {
 public:
  // Makes one session's uplink: for every session at start, and on a
  // session's thread (several may at once) when a withdraw cancelled its
  // uplink, since a cancelled uplink fails for good.
  using UplinkFactory = std::function<std::unique_ptr<EventUplink>()>;

  // Starts the sessions' threads; throws (leaving none running) when there
  // is no session, the factory fails or a thread can't be started.
  explicit UploadPool(UplinkFactory make_uplink, std::size_t sessions = limits::kUploadPoolSessions);
  ~UploadPool() override;  // stop()
  UploadPool(const UploadPool&) = delete;
  UploadPool& operator=(const UploadPool&) = delete;

  Ticket submit(Job job) override;
  bool withdraw(Ticket ticket) noexcept override;
  bool stopping() const noexcept override { return stopping_; }

  // Every session's uplink is cancelled, so the uploads under way end at
  // once (what they stored leaves their buffers, the rest stays), and the
  // threads are joined. Jobs still queued are dropped, each told through
  // its `dropped`. Later submits take nothing.
  void stop() noexcept;

  UploadPoolStats stats() const;

 private:
  struct Session {
    std::unique_ptr<EventUplink> uplink;
    Ticket running = 0;  // the job it runs; 0 when idle
    bool cancelled = false;  // its uplink fails every operation from now on
    std::thread thread;
  };
  void serve(Session& session) noexcept;
  void renew_uplink(Session& session, std::unique_lock<std::mutex>& lock) noexcept;

  UplinkFactory make_uplink_;
  std::vector<Session> sessions_;  // never resized: each thread holds its own
  mutable std::mutex mutex_;  // everything below but stopping_'s reads
  std::condition_variable job_queued_;  // or stopping
  std::condition_variable job_ended_;
  std::map<Ticket, Job> queue_;  // tickets only grow: the order of arrival
  Ticket next_ticket_ = 1;
  std::atomic<bool> stopping_{false};
  std::size_t busy_ = 0;
  std::size_t peak_busy_ = 0;
  std::uint64_t jobs_run_ = 0;
  std::uint64_t jobs_dropped_ = 0;
  std::mutex join_mutex_;  // an explicit stop() and the destructor's
};

}  // namespace orvane
