#include "station/station.hpp"

#include "core/integer_text.hpp"
#include "core/limits.hpp"
#include "station/command_dispatch.hpp"

#include <algorithm>
#include <filesystem>

#include <unistd.h>

namespace orvane {

Station::Station(asio::io_context& ioc, OperatorLog& log, StationDeps deps, std::filesystem::path dir)
    : timer_random(ioc, "timer_random"),
      timer_event(ioc, "timer_event"),
      timer_history(ioc, "timer_history"),
      Timer1(ioc, "Timer1"),
      clock(ioc, deps.clock),
      acquisition(deps.device),
      ioc_(ioc),
      log_(log),
      deps_(deps),
      dir_(std::move(dir)),
      delivery_(std::make_unique<EventDelivery>(events, [this](std::string line) { this->log(std::move(line)); },
                                                deps.clock, deps.uplink, deps.dialer, deps.pinger, dial_online)) {
  timer_random.set_handler([this] { guarded([this] { timer_randomTimer(); }); });
  timer_event.set_handler([this] { guarded([this] { timer_eventTimer(); }); });
  timer_history.set_handler([this] { guarded([this] { timer_historyTimer(); }); });
  Timer1.set_handler([this] { guarded([this] { Timer1Timer(); }); });
  clock.on_hour_change([this](LocalTime last, LocalTime now) { guarded([&] { clockHourChange(last, now); }); });
  events.use_file(file("Event.Sav"));
  clock.on_minute_change([this](LocalTime last, LocalTime now) { guarded([&] { clockMinuteChange(last, now); }); });
}

Station::~Station() {
  // Nothing is saved here; only the dial-up link is ended.
  guarded([this] { hang_up_all(); });
}

void Station::hang_up_all() {
  if (delivery_)
    if (auto* d = delivery_->dial_up()) d->hang_up_all();
}

void Station::guarded(const std::function<void()>& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    log(std::string("Error : ") + e.what());
  } catch (...) {
    log("Error : unknown error");
  }
}

void Station::handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) {
  guarded([&] { dispatch_message(*this, lines, from); });
}

void Station::start() {
  try {
    // Steps 1-5: the exception handler is `guarded` at every loop edge; the
    // lists, the station directory and the control characters exist with
    // the station itself.
    // Step 6: settings.
    settings = read_settings(load_profile(file(kSettingsFile)), dir_.string());
    boxes.ed_facid = settings.FactoryID;
    boxes.ed_sensorid = settings.SensorID;
    boxes.ed_ip = settings.Host;
    boxes.ed_tel = settings.Telphone;
    boxes.ed_historysam = settings.HistorySample;
    boxes.ed_eventsam = settings.EventSample;
    if (::access(dir_.c_str(), W_OK) != 0)
      log("Error : station directory " + dir_.string() + " is not writable");
    // Step 7: the command server's listening socket.
    if (deps_.listener) deps_.listener->listen(settings.ClientPort);
    // Step 8: the event buffer.
    load_event_buffer();
    // Step 9.
    dial_online = false;
    // Steps 10-12: modules, channels, sensor list, links.
    load_channels();
    load_sensor_list();
    link_channels();
    // Step 13.
    apply_sampling_intervals();
    // Step 14 (enables the three sampling timers).
    refresh_labels();
    // Step 15.
    clock.set_active(true);
    // Step 16: the station starts stopped.
    data_mode = kModeReading;
    stop_data();
    // Step 17.
    restore_last_values();
    // Step 18 (pending messages) needs nothing here: the loop runs them next.
    // Step 19.
    if (read_auto_start()) start_reading();
    // Step 20.
    if (!deps_.configured_flag.is_set()) {
      stop_data();
      clock.set_active(false);
      log("Wait for Set Config...");
    }
  } catch (const std::exception& e) {
    log(std::string("Error : ") + e.what());
  }
}

void Station::set_sampling_timers(bool enabled) {
  timer_history.set_enabled(enabled);
  timer_event.set_enabled(enabled);
  timer_random.set_enabled(enabled);
}

void Station::stop_data() {
  data_mode = kModeStopped;
  set_sampling_timers(false);
  lbl_mode = "Data Mode : Stop ";
}

void Station::apply_sampling_intervals() {
  struct Reenable {
    Station& s;
    ~Reenable() {
      if (s.data_mode != kModeStopped) s.set_sampling_timers(true);
    }
  } reenable{*this};
  auto interval = [](const std::string& text) {
    const auto v = leading_int(text, 0);
    if (v == 0) return limits::kDefaultIntervalMs;
    return static_cast<int>(std::clamp<std::int64_t>(v, 1, 0x7fffffff));
  };
  const int h = interval(boxes.ed_historysam);
  const int e = interval(boxes.ed_eventsam);
  set_sampling_timers(false);
  int random = std::min(h, e);
  if (Timer1.enabled() && Timer1.interval() < random) random = Timer1.interval();
  timer_random.set_interval(random);
  timer_history.set_interval(h);
  timer_event.set_interval(e);
}

bool Station::restart_or_power_off(PowerAction action) { return deps_.power.request(action); }

}  // namespace orvane

namespace orvane {

void Station::start_reading() {
  if (!open_device_line()) {
    stop_data();
    return;
  }
  data_mode = kModeReading;
  timer_randomTimer();
  set_sampling_timers(true);
  lbl_mode = "Data Mode : Read";
}

}  // namespace orvane
