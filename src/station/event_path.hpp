// The event path: the buffer of events not yet delivered (Event.Sav), their
// delivery to the host (LAN or dial-up, with the journal of the names being
// stored) and whether the dial-up link is up. The event check adds to it on
// the station thread; the delivery worker removes what it stored.
#pragma once
#include "platform/clock.hpp"
#include "platform/steady_time.hpp"
#include "station/event_buffer.hpp"
#include "station/event_delivery.hpp"
#include "station/event_uplink.hpp"
#include "station/operator_log.hpp"
#include "station/settings.hpp"
#include "station/upload_pool.hpp"

#include <atomic>
#include <filesystem>
#include <memory>

namespace orvane {

// Where and how events go, from the settings.
DeliverySettings delivery_settings(const StationSettings& settings);

class EventPath {
 public:
  // What the path delivers through; `uplink` and `dialer` may be null
  // (events stay buffered, nothing is dialled). With `upload_pool` LAN
  // uploads run on its sessions, and `uplink` serves dial-up only.
  struct Links {
    EventUplink* uplink = nullptr;
    Dialer* dialer = nullptr;
    Pinger* pinger = nullptr;
    UploadRunner* upload_pool = nullptr;
  };

  // `buffer_file` is named at once and read by load().
  // `steady` measures the upload budgets and paces the dial-up's pauses.
  EventPath(OperatorLog& log, const Clock& clock, SteadyTime& steady, const std::filesystem::path& buffer_file,
            Links links);
  EventPath(const EventPath&) = delete;
  EventPath& operator=(const EventPath&) = delete;

  // Start-up: the buffer file into the buffer, the dial-up link taken as down.
  void load();
  // End of an event check: hands the buffer to the delivery worker when
  // lines wait and it is idle.
  void check_and_send(const StationSettings& settings) { delivery_->check_and_send(delivery_settings(settings)); }
  // The Hang Up button and the end of the station.
  void hang_up_all();

  EventBuffer& buffer() { return buffer_; }
  const EventBuffer& buffer() const { return buffer_; }
  EventDelivery& delivery() { return *delivery_; }
  bool dial_online() const { return dial_online_; }
  // Station thread: the event check counts what it adds, uploads are
  // counted from their reports.
  EventCounters& counters() { return *counters_; }
  const EventCounters& counters() const { return *counters_; }
  // For work posted from the upload's thread, which may run after the path is gone.
  std::shared_ptr<EventCounters> shared_counters() const { return counters_; }

 private:
  OperatorLog& log_;
  std::filesystem::path buffer_file_;
  EventBuffer buffer_;
  std::shared_ptr<EventCounters> counters_ = std::make_shared<EventCounters>();
  std::atomic<bool> dial_online_{false};  // shared with the upload worker
  std::unique_ptr<EventDelivery> delivery_;  // last: its worker ends before the buffer goes
};

}  // namespace orvane
