// Delivery of the event buffer to the host, on one worker thread whichever
// the link: the station thread hands it an upload at the end of an event
// tick and goes on; over dial-up the worker dials first and hangs up after.
// In a fleet, LAN uploads run on the fleet's shared upload sessions instead
// of a thread of the station's own. One upload runs at a time. An upload removes from the buffer only the
// lines it stored, so events added meanwhile wait for the next one. The
// worker's log lines reach the operator log in order (the log posts them to
// the station thread).
#pragma once
#include "core/limits.hpp"
#include "platform/clock.hpp"
#include "station/dial_up.hpp"
#include "station/event_buffer.hpp"
#include "station/event_uplink.hpp"
#include "station/faulty_uplink.hpp"
#include "station/station_counters.hpp"
#include "station/upload_pool.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace orvane {

struct DeliverySettings {
  UplinkTarget target;
  std::string eventpath;
  bool dial_up = false;  // Connecttype "1"
  DialSettings dial;
};

class EventDelivery {
 public:
  using Log = std::function<void(std::string)>;
  // Told how each upload ended, on the thread that ran it.
  using Report = std::function<void(const UploadOutcome&)>;

  // `uplink` and `dialer` may be null: nothing is delivered that way.
  // `time` measures the upload budgets and paces the dial-up's pauses.
  // With `pool` (which must outlive the delivery) LAN uploads run on its
  // sessions and their uplinks; `uplink` then serves dial-up only.
  EventDelivery(EventBuffer& buffer, Log log, const Clock& clock, EventUplink* uplink, Dialer* dialer, Pinger* pinger,
                std::atomic<bool>& online, SteadyTime& time = real_steady_time(), UploadRunner* pool = nullptr);
  ~EventDelivery();  // stop()
  EventDelivery(const EventDelivery&) = delete;
  EventDelivery& operator=(const EventDelivery&) = delete;

  // End of every event tick (not called for the host 127.0.0.1): starts the
  // worker (or queues the upload on the pool) when lines wait and no upload
  // is queued or running; returns at once.
  void check_and_send(const DeliverySettings& settings);
  // One upload of the lines buffered now, on the calling thread, through
  // `uplink` (the station's own in the first form; nothing without one);
  // `dial_up` selects the dial-up worker's logging of connection failures.
  void upload_buffer(const DeliverySettings& settings, bool dial_up);
  void upload_buffer(const DeliverySettings& settings, bool dial_up, EventUplink& uplink);

  // From the station thread: later uploads go as if the host misbehaved so
  // (none: as they are). An upload under way keeps the fault it began with.
  void set_fault(UplinkFault fault) {
    fault_rate_ = fault.bytes_per_s;
    fault_kind_ = fault.kind;
  }
  UplinkFault fault() const { return {fault_kind_.load(), fault_rate_.load()}; }

  // An upload is queued on the pool or running.
  bool worker_running() const { return worker_running_; }
  // Waits for the worker, or the upload on the pool, to end (tests).
  void join_worker();
  // The station is closing: the upload under way ends at once (its stored
  // lines leave the buffer, the rest keep their names), the worker is
  // joined, one queued on the pool is taken back, and "Event.Sav" is left
  // holding exactly the undelivered lines.
  void stop() noexcept;
  DialUp* dial_up() { return dial_up_.get(); }
  // Set before the first upload; the report must hand the outcome on to
  // the thread that keeps the counts.
  void set_report(Report report) { report_ = std::move(report); }

  // How long one upload goes on storing before it ends: the lines stored by
  // then are removed, the rest wait for the next tick (which also brings the
  // lines buffered meanwhile). A dial-up upload covers a long backlog in one
  // call. At least one line is always tried, so a backlog drains however
  // slow the host.
  void set_upload_budget(std::chrono::milliseconds lan, std::chrono::milliseconds dial_up) {
    lan_budget_ = lan;
    dial_up_budget_ = dial_up;
  }

  // The journal of the names the buffer's first lines are stored under,
  // beside the buffer's file; covered by the upload lock like the buffer's
  // removals.
  // Lines named (and journalled) at a time ahead of their stores.
  static constexpr std::size_t kBatch = limits::kDeliveryBatchLines;

 private:
  void start_worker(DeliverySettings settings);
  void run_worker(const DeliverySettings& settings);
  void submit_to_pool(DeliverySettings settings);
  // The pool's job, on one of its sessions.
  void run_pool_job(const DeliverySettings& settings, EventUplink& uplink) noexcept;
  void upload_through(const DeliverySettings& settings, bool dial_up, EventUplink& uplink);
  // Whoever waits for the upload learns it is over; the job's last touch of
  // the delivery (stop() may destroy it right after).
  void end_upload() noexcept;
  // The upload should end between stores.
  bool closing(bool dial_up) const noexcept { return stopping_ || (pool_ && !dial_up && pool_->stopping()); }
  // Cuts the delivered prefix off "Event.Sav" when due (always with
  // `force`), keeping the journal's names valid across the swap.
  void compact_buffer(bool force);

  EventBuffer& buffer_;
  Log log_;
  Report report_;
  const Clock& clock_;
  SteadyTime& time_;
  EventUplink* uplink_;
  UploadRunner* pool_;
  UploadRunner::Ticket pool_ticket_ = 0;  // the last job submitted; station thread
  std::unique_ptr<DialUp> dial_up_;
  std::mutex upload_mutex_;  // one upload at a time across both threads
  std::atomic<bool> worker_running_{false};  // a thread or a pool job: queued or running
  std::atomic<bool> stopping_{false};
  std::atomic<UplinkFault::Kind> fault_kind_{UplinkFault::Kind::none};
  std::atomic<std::int64_t> fault_rate_{0};
  std::chrono::milliseconds lan_budget_{limits::kLanUploadBudgetMs};
  std::chrono::milliseconds dial_up_budget_{limits::kDialUpUploadBudgetMs};
  std::thread worker_;
};

}  // namespace orvane
