// Delivery of the event buffer to the host: over the LAN on the station
// thread at the end of an event tick, or over dial-up on one worker thread
// that dials, uploads and hangs up. An upload removes from the buffer only
// the lines it stored, so events added meanwhile wait for the next one.
#pragma once
#include "platform/clock.hpp"
#include "station/dial_up.hpp"
#include "station/event_buffer.hpp"
#include "station/event_uplink.hpp"

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

  // `uplink` and `dialer` may be null: nothing is delivered that way.
  EventDelivery(EventBuffer& buffer, Log log, const Clock& clock, EventUplink* uplink, Dialer* dialer,
                Pinger* pinger, std::atomic<bool>& online, DialUp::Wait wait = {});
  ~EventDelivery();  // ends the worker's waits and joins it
  EventDelivery(const EventDelivery&) = delete;
  EventDelivery& operator=(const EventDelivery&) = delete;

  // End of every event tick (not called for the host 127.0.0.1).
  void check_and_send(const DeliverySettings& settings);
  // One upload of the whole buffer; `worker` selects the worker's logging.
  void upload_buffer(const DeliverySettings& settings, bool worker);

  bool worker_running() const { return worker_running_; }
  // Waits for the worker to end (tests, shutdown).
  void join_worker();
  DialUp* dial_up() { return dial_up_.get(); }

  // How long one upload goes on storing before it hands the thread back:
  // the lines stored by then are removed, the rest wait for the next tick.
  // The station thread's share is short (it also serves the host); the
  // worker's covers a long backlog in one call. At least one line is always
  // tried, so a backlog drains however slow the host.
  void set_upload_budget(std::chrono::milliseconds station, std::chrono::milliseconds worker) {
    station_budget_ = station;
    worker_budget_ = worker;
  }

 // The journal of the names the buffer's first lines are stored under,
  // beside the buffer's file; covered by the upload lock like the buffer's
  // removals.
  static constexpr const char* kJournalName = "Event.Snd";
  // Lines named (and journalled) at a time ahead of their stores.
  static constexpr std::size_t kBatch = 256;

 private:
  void run_worker(DeliverySettings settings);

  EventBuffer& buffer_;
  Log log_;
  const Clock& clock_;
  EventUplink* uplink_;
  std::unique_ptr<DialUp> dial_up_;
  std::mutex upload_mutex_;  // one upload at a time across both threads
  std::atomic<bool> worker_running_{false};
  std::chrono::milliseconds station_budget_{5000};
  std::chrono::milliseconds worker_budget_{600000};
  std::thread worker_;
};

}  // namespace orvane
