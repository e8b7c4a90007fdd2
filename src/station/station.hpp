// Station: the one owner of station state. Every operation of every
// subsystem runs here, on the station thread (the io_context's), driven by
// timers, the clock, socket reads and operator actions posted to it.
#pragma once
#include "core/local_time.hpp"
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "platform/steady_time.hpp"
#include "station/acquisition.hpp"
#include "station/channel_model.hpp"
#include "station/event_buffer.hpp"
#include "station/event_delivery.hpp"
#include "station/event_uplink.hpp"
#include "station/host_messages.hpp"
#include "station/operator_log.hpp"
#include "station/realtime.hpp"
#include "station/sampling.hpp"
#include "station/settings.hpp"
#include "station/station_clock.hpp"
#include "station/station_timer.hpp"

#include <asio/io_context.hpp>

#include <array>
#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

struct StationSnapshot;

// The collaborators a station is built with; tests pass doubles.
struct StationDeps {
  const Clock& clock;
  ConfiguredFlag& configured_flag;
  PowerControl& power;
  CommandListener* listener = nullptr;
  ModulePoller* device = nullptr;  // the RS-485 line; null = serial ports by default names
  EventUplink* uplink = nullptr;  // FTP client of the event uplink; none: events stay buffered
  Dialer* dialer = nullptr;  // dial-up link; none: nothing is dialled
  Pinger* pinger = nullptr;  // confirms a dial-up link by ping
  SteadyTime* steady_time = nullptr;  // timers, upload budgets, dial pauses; none: the machine's
};

class Station final : public MessageHandler {
 public:
  Station(asio::io_context& ioc, OperatorLog& log, StationDeps deps, std::filesystem::path dir);
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;
  ~Station() override;

  // The start-up sequence. An exception at a step is logged "Error : " +
  // message and ends the sequence there; the station stays up.
  void start();

  // ---- shell (data modes, intervals, power) ----
  void stop_data();  // the stop button, STR, STA, DIS
  void start_reading();  // the read button, ENB, SET_CONFIG
  // The sampling periods from the settings (and the realtime period while
  // realtime runs, if shorter).
  void apply_sampling_intervals();
  DataMode data_mode() const { return sampling_.mode(); }
  const Sampling& sampling() const { return sampling_; }
  Realtime& realtime() { return realtime_; }
  const Realtime& realtime() const { return realtime_; }
  bool restart_or_power_off(PowerAction action);
  ConfiguredFlag& configured_flag() { return deps_.configured_flag; }
  // The 250 ms clock that signals hour and minute changes; it is stopped
  // until the station is configured, and by STH / STR.
  void set_clock_active(bool active) { clock_.set_active(active); }
  bool clock_active() const { return clock_.active(); }
  void set_command_listener(CommandListener* listener) { deps_.listener = listener; }
  asio::io_context& io_context() { return ioc_; }

  // The operator log; safe from any thread.
  void log(std::string text) { log_.log(std::move(text)); }
  void log_line(std::string text) override { log(std::move(text)); }
  // A framed message from a host, through the dispatcher, guarded.
  void handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) override;
  OperatorLog& operator_log() { return log_; }
  // Runs f at a loop edge: an escaping exception is logged "Error : " + message.
  template <class F>
  void guarded(F&& f) noexcept {
    try {
      f();
    } catch (const std::exception& e) {
      log(std::string("Error : ") + e.what());
    } catch (...) {
      log("Error : unknown error");
    }
  }

  // Tells the operator something that wants acknowledging ("Set Config
  // Error!"): a message box when the window has installed its notifier, the
  // operator log otherwise. Station thread.
  void alert_operator(const std::string& text) { operator_alert_ ? operator_alert_(text) : log(text); }
  void set_operator_alert(std::function<void(const std::string&)> notify) { operator_alert_ = std::move(notify); }

  // The window's copy of the state; the memo part holds the lines logged
  // after the first `memo_seen` ever logged. Station thread.
  StationSnapshot snapshot(std::uint64_t memo_seen) const;

  // ---- timer and clock handlers (public so tests can fire them) ----
  void on_read_tick();  // read cycle: polls the modules, applied when all are in
  void on_event_tick();  // event check, then the uplink
  void on_history_tick();  // history sampling
  void on_realtime_tick() { realtime_.on_tick(); }  // realtime batches to the subscribers
  void on_hour_change(LocalTime last_tick, LocalTime now);
  void on_minute_change(LocalTime last_tick, LocalTime now);
  void on_clock_tick() { clock_.tick(); }  // reads the clock, signals hour and minute changes

  // ---- channel model and configuration files ----
  void load_modules();
  void load_channels();
  void load_sensor_list();
  void save_sensor_list();
  void link_channels();
  void reset_panels();  // also holds the sampling timers
  void refresh_labels();  // also runs the sampling timers again (see SamplingChange::resume_all)
  bool read_auto_start() const;
  void write_auto_start(const std::string& text);

  // ---- data modes and values ----
  bool open_device_line();
  // One module's read: its failure logged, its area as eight "%6.5f" texts.
  std::vector<std::string> module_texts(const ModuleRead& read);
  // SET_VALUE: value_N and mask_N of the row whose Port ID is `port_id`
  // (trimmed) := the decimal text of `value`. False when no panel row has it.
  bool set_value_by_hand(std::string_view port_id, std::int64_t value);
  void restore_last_values();
  void save_last_values();
  void prime_event_state(int row);

  // ---- events ----
  void load_event_buffer();  // start-up: Event.Sav into the buffer
  void check_and_send();  // end of an event tick: deliver the buffer
  DeliverySettings delivery_settings() const;
  EventDelivery& delivery() { return *delivery_; }
  // The Hang Up button and the end of the station: hang up every dial-up connection.
  void hang_up_all();

  // ---- files ----
  std::filesystem::path file(const std::string& name) const { return dir_ / name; }
  const std::filesystem::path& dir() const { return dir_; }
  LocalTime now() const { return deps_.clock.now(); }

  // ---- state, owned here and touched on the station thread only ----
  StationSettings settings;
  std::array<ChannelPanel, limits::kChannels> panels;  // panels[N-1] is pnl_N
  SensorTable sensor_table;
  std::vector<ModuleRecord> modules;  // module.con, in file order
  ChannelRecords channels;  // channel.con, in file order
  EventBuffer events;

  Acquisition acquisition;

  ChannelPanel& panel(int n) { return panels.at(static_cast<std::size_t>(n - 1)); }
  bool has_panel(int row) const { return row >= 1 && row <= limits::kChannels; }

 private:
  // Start-up steps.
  void read_settings_file();
  void open_command_server();
  void wait_for_first_configuration();
  void apply_readings(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads);

  asio::io_context& ioc_;
  OperatorLog& log_;
  StationDeps deps_;
  SteadyTime& steady_;
  std::filesystem::path dir_;
  std::function<void(const std::string&)> operator_alert_;
  Sampling sampling_;
  Realtime realtime_;
  StationClock clock_;
  std::atomic<bool> dial_online_{false};  // dial-up link flag, shared with the upload worker
  std::unique_ptr<EventDelivery> delivery_;  // last: its worker ends before the rest goes
};

}  // namespace orvane
