#include "station/event_delivery.hpp"

#include "core/local_time.hpp"
#include "station/send_journal.hpp"
#include "station/station_files.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace orvane {

EventDelivery::EventDelivery(EventBuffer& buffer, Log log, const Clock& clock, EventUplink* uplink, Dialer* dialer,
                             Pinger* pinger, std::atomic<bool>& online, SteadyTime& time, UploadRunner* pool)
    : buffer_(buffer), log_(std::move(log)), clock_(clock), time_(time), uplink_(uplink), pool_(pool) {
  if (dialer) dial_up_ = std::make_unique<DialUp>(*dialer, pinger, online, log_, time_);
}

EventDelivery::~EventDelivery() { stop(); }

void EventDelivery::join_worker() {
  if (worker_.joinable()) worker_.join();
  if (pool_) {
    while (worker_running_) worker_running_.wait(true);
  }
}

void EventDelivery::end_upload() noexcept {
  worker_running_ = false;
  worker_running_.notify_all();
}

void EventDelivery::stop() noexcept {
  stopping_ = true;
  if (dial_up_) dial_up_->cancel();
  // The pool's job captures this delivery: once withdrawn it never runs,
  // and one that was running has ended.
  if (pool_ && pool_ticket_ && pool_->withdraw(std::exchange(pool_ticket_, 0))) end_upload();
  // Only an upload under way is cut short: the uplink may serve a later
  // delivery (tests restart one over the same client).
  if (worker_running_ && uplink_) uplink_->cancel();
  join_worker();
  try {
    std::lock_guard lock(upload_mutex_);
    compact_buffer(true);
  } catch (const std::exception& e) {
    log_(std::string("Error : ") + e.what());
  }
}

void EventDelivery::check_and_send(const DeliverySettings& settings) {
  if (stopping_) return;
  if (!settings.dial_up) {
    if (buffer_.empty() || worker_running_) return;
    if (pool_)
      submit_to_pool(settings);
    else
      start_worker(settings);
    return;
  }
  if (!dial_up_) return;
  const auto state = dial_up_->connection_state();
  if (state.name == "Disconnected") dial_up_->hang_up_all();
  if (state.any) {
    log_("Dial Status : " + state.name);
    return;
  }
  if (buffer_.empty() || worker_running_) return;
  start_worker(settings);
}

void EventDelivery::start_worker(DeliverySettings settings) {
  join_worker();  // the previous worker has ended; reap its thread
  worker_running_ = true;
  try {
    worker_ = std::thread([this, settings = std::move(settings)] { run_worker(settings); });
  } catch (...) {
    worker_running_ = false;
    throw;
  }
}

void EventDelivery::submit_to_pool(DeliverySettings settings) {
  if (worker_.joinable()) worker_.join();  // a dial-up worker that has ended
  worker_running_ = true;
  UploadRunner::Job job;
  job.run = [this, settings = std::move(settings)](EventUplink& uplink) { run_pool_job(settings, uplink); };
  job.dropped = [this] { end_upload(); };
  try {
    pool_ticket_ = pool_->submit(std::move(job));
  } catch (...) {
    end_upload();
    throw;
  }
  // A stopped pool takes nothing: the lines wait, and the next tick asks again.
  if (pool_ticket_ == 0) end_upload();
}

void EventDelivery::run_pool_job(const DeliverySettings& settings, EventUplink& uplink) noexcept {
  try {
    upload_buffer(settings, false, uplink);
  } catch (const std::exception& e) {
    log_(std::string("Error : ") + e.what());
  } catch (...) {
    log_("Error : unknown error");
  }
  end_upload();
}

void EventDelivery::run_worker(const DeliverySettings& settings) {
  try {
    if (!settings.dial_up) {
      upload_buffer(settings, false);
    } else if (!dial_up_->dial(settings.dial)) {
      log_("Dial : Not Connect");
      dial_up_->hang_up_all();
    } else {
      log_("Dial : dial OK");
      try {
        upload_buffer(settings, true);
      } catch (const std::exception& e) {
        log_(std::string("Error : ") + e.what());
      }
      dial_up_->hang_up_all();
    }
  } catch (const std::exception& e) {
    log_(std::string("Error : ") + e.what());
  } catch (...) {
    log_("Error : unknown error");
  }
  worker_running_ = false;
}

void EventDelivery::compact_buffer(bool force) {
  SendJournal journal(buffer_.file().parent_path() / station_files::kSendJournal);
  buffer_.compact(force, [&](const BufferPosition& now, const BufferPosition& next) { journal.follow(now, next); });
}

void EventDelivery::upload_buffer(const DeliverySettings& settings, bool dial_up) {
  if (uplink_) upload_buffer(settings, dial_up, *uplink_);
}

void EventDelivery::upload_buffer(const DeliverySettings& settings, bool dial_up, EventUplink& uplink) {
  if (const auto f = fault(); f.kind != UplinkFault::Kind::none) {
    FaultyUplink faulty(uplink, f, time_, stopping_);
    upload_through(settings, dial_up, faulty);
  } else {
    upload_through(settings, dial_up, uplink);
  }
}

void EventDelivery::upload_through(const DeliverySettings& settings, bool dial_up, EventUplink& uplink) {
  std::unique_lock lock(upload_mutex_, std::defer_lock);
  if (dial_up) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return;  // an upload runs; it or the next one takes these lines
  }
  struct Disconnect {
    EventUplink& uplink;
    ~Disconnect() { uplink.disconnect(); }
  } disconnect{uplink};
  const auto started = time_.now();
  const auto report = [&](UploadOutcome outcome) {
    if (!report_) return;
    outcome.seconds = std::chrono::duration<double>(time_.now() - started).count();
    report_(outcome);
  };

  try {
    uplink.connect(settings.target);
  } catch (const std::exception&) {
    if (dial_up) log_("Connect exception");
  }
  if (!uplink.connected()) {
    if (dial_up) log_("Connect server fail");
    report({});
    return;
  }
  uplink.change_dir(settings.eventpath);
  // The lines buffered now; those added during the upload wait for the next.
  const std::size_t total = buffer_.size();
  log_("Send : " + std::to_string(total) + " Events");
  const auto deadline = time_.now() + (dial_up ? dial_up_budget_ : lan_budget_);
  SendJournal journal(buffer_.file().parent_path() / station_files::kSendJournal);
  // A failed store ends the upload there: the lines stored before it leave
  // the buffer, the rest wait for the next one. Sending everything again
  // would give the host the stored events twice, and going on past the
  // failure would deliver them out of order.
  //
  // Each batch is named in the journal before its first store and its stored
  // lines leave the buffer before the next batch is named, so a kill at any
  // point leaves every line still buffered either never stored or named in a
  // journal that holds: it is stored again under the same name, overwriting
  // the host's copy (or a partial file of an aborted store).
  std::size_t stored = 0;
  bool failed = false, out_of_time = false;
  while (stored < total && !failed && !out_of_time && !closing(dial_up)) {
    const auto head = buffer_.head(std::min(kBatch, total - stored));
    std::vector<std::string> names;
    try {
      names = journal.prepare(buffer_.position(), head, clock_.now());
    } catch (const std::system_error& e) {
      // Without the names on disk a kill could make the host get these lines
      // twice: they wait in the buffer until the journal can be written.
      log_(std::string("Error : ") + e.what());
      break;
    }
    std::size_t done = 0;
    for (; done < head.size(); ++done) {
      if (closing(dial_up) || (stored + done > 0 && time_.now() > deadline)) {
        out_of_time = true;
        break;
      }
      try {
        uplink.store(names[done], head[done]);
      } catch (const std::exception&) {
        // Cut short by the station closing: not the host's failure.
        if (!closing(dial_up)) log_(stamp_hh_nn_ss(clock_.now()) + " Error : send event error");
        failed = true;
        break;
      }
    }
    try {
      buffer_.remove_front(done);
    } catch (const std::system_error& e) {
      // The stored lines stay buffered under their names: the next upload
      // stores them again over the host's copies.
      log_(std::string("Error : ") + e.what());
      break;
    }
    stored += done;
    // Naming the next batch rewrites the journal from the new head on, past
    // the lines just removed (as after a kill here): only the upload's last
    // batch writes the removal, so the journal left at rest starts at the
    // head. One journal write and its flushes fewer per batch.
    if (stored < total && !failed && !out_of_time && !closing(dial_up)) continue;
    try {
      journal.removed(buffer_.position(), done);
    } catch (const std::system_error& e) {
      // The journal on disk still holds from the old head on; the next
      // upload skips the lines removed before it names any.
      log_(std::string("Error : ") + e.what());
    }
    break;
  }
  if (stored == total) log_("Events : Send Completed");
  report({.connected = true, .failed = failed, .stored = stored});
  try {
    compact_buffer(false);
  } catch (const std::exception& e) {
    log_(std::string("Error : ") + e.what());
  }
}

}  // namespace orvane
