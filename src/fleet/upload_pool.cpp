#include "fleet/upload_pool.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace orvane {

UploadPool::UploadPool(UplinkFactory make_uplink, std::size_t sessions)
    : make_uplink_(std::move(make_uplink)), sessions_(sessions) {
  if (sessions == 0) throw std::invalid_argument("an upload pool needs at least one session");
  if (!make_uplink_) throw std::invalid_argument("an upload pool needs a way to make its uplinks");
  for (auto& s : sessions_) {
    s.uplink = make_uplink_();
    if (!s.uplink) throw std::invalid_argument("the upload pool's factory made no uplink");
  }
  try {
    for (auto& s : sessions_) s.thread = std::thread([this, &s] { serve(s); });
  } catch (...) {
    stop();
    throw;
  }
}

UploadPool::~UploadPool() { stop(); }

UploadRunner::Ticket UploadPool::submit(Job job) {
  if (!job.run) throw std::invalid_argument("an upload job needs something to run");
  std::lock_guard lock(mutex_);
  if (stopping_) return 0;
  const Ticket ticket = next_ticket_++;
  queue_.emplace(ticket, std::move(job));
  job_queued_.notify_one();
  return ticket;
}

bool UploadPool::withdraw(Ticket ticket) noexcept {
  if (ticket == 0) return false;
  std::unique_lock lock(mutex_);
  if (auto node = queue_.extract(ticket)) {
    lock.unlock();  // the job's captures go outside the lock
    return true;
  }
  for (auto& s : sessions_) {
    if (s.running != ticket) continue;
    // Cutting the session's uplink is what ends the job soon: an upload
    // otherwise goes on to its budget, or waits out the host's timeouts.
    if (!s.cancelled) {
      s.cancelled = true;
      s.uplink->cancel();
    }
    job_ended_.wait(lock, [&] { return s.running != ticket; });
    break;
  }
  return false;
}

void UploadPool::stop() noexcept {
  std::map<Ticket, Job> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& s : sessions_) {
      if (!s.uplink) continue;
      s.cancelled = true;
      s.uplink->cancel();
    }
    for (auto& [ticket, job] : queue_) {
      // Under the lock: a station withdrawing this job at the same time
      // returns only once its `dropped` has run.
      try {
        if (job.dropped) job.dropped();
      } catch (...) {}
      ++jobs_dropped_;
    }
    dropped.swap(queue_);
  }
  job_queued_.notify_all();
  std::lock_guard join(join_mutex_);
  for (auto& s : sessions_) {
    if (s.thread.joinable()) s.thread.join();
  }
}

UploadPoolStats UploadPool::stats() const {
  std::lock_guard lock(mutex_);
  return {sessions_.size(), busy_, peak_busy_, queue_.size(), jobs_run_, jobs_dropped_};
}

void UploadPool::serve(Session& s) noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (s.cancelled && !stopping_) renew_uplink(s, lock);
    job_queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    auto node = queue_.extract(queue_.begin());
    s.running = node.key();
    peak_busy_ = std::max(peak_busy_, ++busy_);
    EventUplink& uplink = *s.uplink;
    lock.unlock();
    try {
      node.mapped().run(uplink);
    } catch (...) {
      // The job logs its own failures; nothing may leave the thread.
    }
    // Its captures go before it counts as ended: a withdraw that returns
    // leaves nothing of the job behind.
    node = {};
    lock.lock();
    s.running = 0;
    --busy_;
    ++jobs_run_;
    job_ended_.notify_all();
  }
}

void UploadPool::renew_uplink(Session& s, std::unique_lock<std::mutex>& lock) noexcept {
  lock.unlock();
  std::unique_ptr<EventUplink> fresh;
  try {
    fresh = make_uplink_();
  } catch (...) {
    // Tried again after the next job, which fails at once on the cancelled
    // uplink and so leaves its lines buffered.
  }
  lock.lock();
  if (!fresh) return;
  std::swap(s.uplink, fresh);
  s.cancelled = false;
  lock.unlock();
  fresh.reset();  // cancelled: its disconnect waits on nothing
  lock.lock();
}

}  // namespace orvane
