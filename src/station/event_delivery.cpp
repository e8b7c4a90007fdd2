#include "station/event_delivery.hpp"

#include "core/local_time.hpp"
#include "station/send_journal.hpp"

#include <algorithm>
#include <system_error>

namespace orvane {

EventDelivery::EventDelivery(EventBuffer& buffer, Log log, const Clock& clock, EventUplink* uplink, Dialer* dialer,
                             Pinger* pinger, std::atomic<bool>& online, DialUp::Wait wait)
    : buffer_(buffer), log_(std::move(log)), clock_(clock), uplink_(uplink) {
  if (dialer) dial_up_ = std::make_unique<DialUp>(*dialer, pinger, online, log_, std::move(wait));
}

EventDelivery::~EventDelivery() {
  if (dial_up_) dial_up_->cancel();
  join_worker();
}

void EventDelivery::join_worker() {
  if (worker_.joinable()) worker_.join();
}

void EventDelivery::check_and_send(const DeliverySettings& settings) {
  if (!settings.dial_up) {
    if (!buffer_.empty()) upload_buffer(settings, false);
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
  join_worker();  // the previous worker has ended; reap its thread
  worker_running_ = true;
  try {
    worker_ = std::thread([this, settings] { run_worker(settings); });
  } catch (...) {
    worker_running_ = false;
    throw;
  }
}

void EventDelivery::run_worker(DeliverySettings settings) {
  try {
    if (!dial_up_->dial(settings.dial)) {
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

void EventDelivery::upload_buffer(const DeliverySettings& settings, bool worker) {
  if (!uplink_) return;
  std::unique_lock lock(upload_mutex_, std::defer_lock);
  if (worker) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return;  // the worker is uploading; its upload takes these lines
  }
  struct Disconnect {
    EventUplink& uplink;
    ~Disconnect() { uplink.disconnect(); }
  } disconnect{*uplink_};

  try {
    uplink_->connect(settings.target);
  } catch (const std::exception&) {
    if (worker) log_("Connect exception");
  }
  if (!uplink_->connected()) {
    if (worker) log_("Connect server fail");
    return;
  }
  uplink_->change_dir(settings.eventpath);
  const auto lines = buffer_.lines();
  log_("Send : " + std::to_string(lines.size()) + " Events");
  const auto deadline = std::chrono::steady_clock::now() + (worker ? worker_budget_ : station_budget_);
  const auto file = buffer_.file();
  SendJournal journal(file.parent_path() / kJournalName);
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
  while (stored < lines.size() && !failed && !out_of_time) {
    const auto end = std::min(lines.size(), stored + kBatch);
    const std::vector<std::string> head(lines.begin() + static_cast<std::ptrdiff_t>(stored),
                                        lines.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<std::string> names;
    try {
      names = journal.prepare(identity_of(file), head, clock_.now());
    } catch (const std::system_error& e) {
      // Without the names on disk a kill could make the host get these lines
      // twice: they wait in the buffer until the journal can be written.
      log_(std::string("Error : ") + e.what());
      break;
    }
    std::size_t done = 0;
    for (; done < head.size(); ++done) {
      if (stored + done > 0 && std::chrono::steady_clock::now() > deadline) {
        out_of_time = true;
        break;
      }
      try {
        uplink_->store(names[done], head[done]);
      } catch (const std::exception&) {
        log_(stamp_hh_nn_ss(clock_.now()) + " Error : send event error");
        failed = true;
        break;
      }
    }
    buffer_.remove_front(done);
    stored += done;
    try {
      journal.removed(identity_of(file), done);
    } catch (const std::system_error& e) {
      // The journal left on disk belongs to the replaced file and is not
      // reused; the next batch would rewrite it: stop here.
      log_(std::string("Error : ") + e.what());
      break;
    }
  }
  if (stored == lines.size()) log_("Events : Send Completed");
}

}  // namespace orvane
