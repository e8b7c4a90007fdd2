// Uploads run for the station by someone else's uplink sessions: a fleet of
// stations in one process shares a few FTP sessions instead of a thread and
// a connection each. The station hands over one upload at a time and takes
// it back when it closes, so an upload never outlives the station it
// delivers for.
#pragma once
#include "station/event_uplink.hpp"

#include <cstdint>
#include <functional>

namespace orvane {

class UploadRunner {
 public:
  // Names a submitted job; 0 names none.
  using Ticket = std::uint64_t;

  struct Job {
    // On one of the runner's threads, with the uplink of the session that
    // runs it; never two jobs on one uplink at once. Exceptions are the
    // job's to catch (the runner swallows any that escape).
    std::function<void(EventUplink&)> run;
    // Instead of `run`, when the runner stops before the job's turn. Called
    // under the runner's lock: it may only note that the job is gone.
    std::function<void()> dropped;
  };

  virtual ~UploadRunner() = default;

  // Queues the job behind those already waiting and returns at once. A
  // runner that has stopped takes nothing: it returns 0 and calls neither
  // part of the job.
  virtual Ticket submit(Job job) = 0;

  // Takes the job back. A queued job leaves the queue without running (its
  // `dropped` is not called) and true is returned; a running one has its
  // session's uplink cancelled and is waited for. On return the job is
  // neither queued nor running and never will be. Not from a job of the
  // same runner.
  virtual bool withdraw(Ticket ticket) noexcept = 0;

  // The runner is stopping: jobs running now are being cut short (their
  // uplink's operations fail), so their failures are not the host's.
  virtual bool stopping() const noexcept = 0;
};

}  // namespace orvane
