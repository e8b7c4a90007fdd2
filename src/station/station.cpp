#include "station/station.hpp"

#include "core/integer_text.hpp"
#include "station/command_dispatch.hpp"
#include "station/station_files.hpp"

#include <algorithm>
#include <filesystem>

#include <unistd.h>

namespace orvane {

Station::Station(asio::io_context& ioc, OperatorLog& log, StationDeps deps, std::filesystem::path dir)
    : ioc_(ioc),
      log_(log),
      deps_(deps),
      steady_(deps.steady_time ? *deps.steady_time : real_steady_time()),
      dir_(std::move(dir)),
      table_(dir_, log),
      acquisition_(ioc, deps.device),
      sampling_(ioc, steady_),
      realtime_(ioc, steady_, {log, deps.clock, table_.channels(), [this] { apply_sampling_intervals(); }}),
      clock_(ioc, steady_, deps.clock),
      events_(log, deps.clock, steady_, dir_ / station_files::kEventBuffer, {deps.uplink, deps.dialer, deps.pinger}) {
  sampling_.set_handlers({
      .on_read_tick = [this] { guarded([this] { on_read_tick(); }); },
      .on_event_tick = [this] { guarded([this] { on_event_tick(); }); },
      .on_history_tick = [this] { guarded([this] { on_history_tick(); }); },
  });
  realtime_.set_tick_handler([this] { guarded([this] { on_realtime_tick(); }); });
  clock_.on_hour_change([this](LocalTime last, LocalTime now) { guarded([&] { on_hour_change(last, now); }); });
  clock_.on_minute_change([this](LocalTime last, LocalTime now) { guarded([&] { on_minute_change(last, now); }); });
}

Station::~Station() {
  // Nothing is saved here; only the dial-up link is ended.
  guarded([this] { hang_up_all(); });
}

void Station::handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) {
  guarded([&] { dispatch_message(*this, lines, from); });
}

void Station::start() {
  // An exception at any step is caught here (and at every loop edge by
  // `guarded`): it is logged and ends the sequence; the station stays up.
  try {
    read_settings_file();
    open_command_server();
    load_event_buffer();
    load_channel_table();
    apply_sampling_intervals();
    refresh_labels();  // runs the sampling timers
    clock_.set_active(true);
    stop_data();  // the station starts stopped
    table_.restore_last_values();
    // Messages that came in meanwhile are served by the loop next.
    if (read_auto_start()) start_reading();
    wait_for_first_configuration();
  } catch (const std::exception& e) {
    log(std::string("Error : ") + e.what());
  }
}

void Station::read_settings_file() {
  settings_ = read_settings(load_profile(file(station_files::kSettings)), dir_.string());
  if (::access(dir_.c_str(), W_OK) != 0) log("Error : station directory " + dir_.string() + " is not writable");
}

void Station::open_command_server() {
  if (deps_.listener) deps_.listener->listen({settings_.client_port, settings_.allow_hosts, settings_.max_hosts});
}

void Station::load_event_buffer() { events_.load(); }

void Station::load_channel_table() {
  table_.load_channels();
  table_.load_sensor_list();
  table_.link_channels();
}

void Station::wait_for_first_configuration() {
  // Until a host has configured it once, a station neither samples nor keeps time.
  if (deps_.configured_flag.is_set()) return;
  stop_data();
  clock_.set_active(false);
  log("Wait for Set Config...");
}

void Station::stop_data() {
  acquisition_.cancel();  // a cycle still out on the line changes nothing any more
  sampling_.change(SamplingChange::stop);
}

void Station::apply_sampling_intervals() {
  const auto history = settings_.history_sample.period();
  const auto event = settings_.event_sample.period();
  auto read = std::min(history, event);
  if (realtime_.running() && realtime_.period() < read) read = realtime_.period();
  sampling_.set_periods(history, event, read);
}

bool Station::restart_or_power_off(PowerAction action) { return deps_.power.request(action); }

void Station::start_reading() {
  if (!open_device_line()) {
    stop_data();
    return;
  }
  sampling_.change(SamplingChange::start_reading);
}

}  // namespace orvane
