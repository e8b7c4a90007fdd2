// Station: wires the parts that hold the station's state (settings, channel
// table, sampling, realtime, clock, acquisition, event path) and runs the
// start-up steps in order. Everything runs on the station thread (the
// io_context's), driven by timers, the clock, socket reads and operator
// actions posted to it.
#pragma once
#include "core/local_time.hpp"
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "platform/steady_time.hpp"
#include "station/acquisition.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/event_check.hpp"
#include "station/event_path.hpp"
#include "station/event_uplink.hpp"
#include "station/guarded.hpp"
#include "station/host_messages.hpp"
#include "station/operator_log.hpp"
#include "station/read_cycle.hpp"
#include "station/read_data_reply.hpp"
#include "station/realtime.hpp"
#include "station/sampling.hpp"
#include "station/settings.hpp"
#include "station/station_clock.hpp"
#include "station/station_control.hpp"
#include "station/station_timer.hpp"
#include "station/upload_pool.hpp"

#include <asio/io_context.hpp>

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

class EventFlushGroup;
struct StationSnapshot;
class StationTicks;

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
  EventFlushGroup* flush_group = nullptr;  // events flushed with other stations'; none: each check its own
  // LAN uploads on sessions shared by a fleet's stations (it outlives the
  // station); none: a thread of the station's own per upload, through `uplink`.
  UploadRunner* upload_pool = nullptr;
  // Files of the station's own that no host may read or write (RCFG, SCFG)
  // when they lie in its directory: the instance lock, the configured flag.
  // The event buffer's files are kept from hosts in any case.
  std::vector<std::filesystem::path> private_files = {};
};

class Station final : public MessageHandler, public StationControl {
 public:
  Station(asio::io_context& ioc, OperatorLog& log, StationDeps deps, std::filesystem::path dir);
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;
  ~Station() override;

  // The start-up sequence. An exception at a step is logged "Error : " +
  // message and ends the sequence there; the station stays up.
  void start();
  // Why the start-up sequence ended early ("cannot load the event buffer:
  // ..."), or empty: a station it names samples and records nothing.
  const std::string& start_failure() const { return start_failure_; }

  // ---- the parts ----
  const StationSettings& settings() const { return settings_; }
  StationSettings& settings() { return settings_; }
  const ChannelTable& channel_table() const { return table_; }
  ChannelTable& channel_table() { return table_; }
  const Sampling& sampling() const { return sampling_; }
  Realtime& realtime() { return realtime_; }
  const Realtime& realtime() const { return realtime_; }
  const Acquisition& acquisition() const { return acquisition_; }
  EventPath& event_path() { return events_; }
  const EventPath& event_path() const { return events_; }
  const Clock& clock() const { return deps_.clock; }
  OperatorLog& operator_log() { return log_; }
  asio::io_context& io_context() { return ioc_; }

  // ---- shell (data modes, intervals, power): see StationControl ----
  void stop_data() override;
  void start_reading() override;
  void apply_sampling_intervals() override;
  void set_clock_active(bool active) override { clock_.set_active(active); }
  void reset_panels() override;
  void refresh_labels() override;
  void mark_configured() override { deps_.configured_flag.set(); }
  bool restart_or_power_off(PowerAction action) override;
  void write_auto_start(const std::string& text) override;
  // Tells the operator something that wants acknowledging ("Set Config
  // Error!"): a message box when the window has installed its notifier, the
  // operator log otherwise. Station thread.
  void alert_operator(const std::string& text) override { operator_alert_ ? operator_alert_(text) : log(text); }
  void set_operator_alert(std::function<void(const std::string&)> notify);
  DataMode data_mode() const { return sampling_.mode(); }
  // The 250 ms clock is stopped until the station is configured, and by STH / STR.
  bool clock_active() const { return clock_.active(); }
  bool read_auto_start() const;
  void set_command_listener(CommandListener* listener) { deps_.listener = listener; }
  // Injected faults of the command port: replies that come `delay` late
  // (0: at once); every host connection closed while `on`.
  void delay_replies(std::chrono::milliseconds delay) { dispatcher_.set_reply_delay(delay); }
  std::chrono::milliseconds reply_delay() const { return dispatcher_.reply_delay(); }
  void close_host_connections(bool on) {
    if (deps_.listener) deps_.listener->close_connections(on);
  }
  // The Hang Up button and the end of the station: hang up every dial-up connection.
  void hang_up_all() { events_.hang_up_all(); }

  // The operator log; safe from any thread.
  void log(std::string text) { log_.log(std::move(text)); }
  void log_line(std::string text) override { log(std::move(text)); }
  bool sends_unasked_to(const Connection& connection) const override;
  // A framed message from a host, through the dispatcher, guarded.
  bool handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) override;
  // Runs f at a loop edge: an escaping exception is logged "Error : " + message.
  template <class F>
  void guarded(F&& f) noexcept {
    orvane::guarded(log_, std::forward<F>(f));
  }

  // The window's copy of the state; the memo part holds the lines logged
  // after the first `memo_seen` ever logged. Station thread.
  StationSnapshot snapshot(std::uint64_t memo_seen) const;
  // What the station counted of its work since start. Station thread.
  StationCounters counters() const;

  // ---- files ----
  const std::filesystem::path& dir() const { return dir_; }
  LocalTime now() const { return deps_.clock.now(); }

 private:
  // Benchmarks and fuzz targets run the handlers below directly
  // (tests/support/station_ticks.hpp); tests move time on instead.
  friend class StationTicks;

  // ---- timer and clock handlers ----
  void on_read_tick() { read_cycle_.on_tick(); }  // polls the modules, applied when all are in
  void on_event_tick() { event_check_.run(); }  // event check, then the uplink
  void on_history_tick() { table_.sample_history(); }  // history sampling
  void on_realtime_tick() { realtime_.on_tick(); }  // realtime batches to the subscribers
  void on_hour_change(LocalTime last_tick, LocalTime) { table_.write_history_hour(last_tick); }
  void on_minute_change(LocalTime, LocalTime) { table_.save_last_values(); }
  void on_clock_tick() { clock_.tick(); }  // reads the clock, signals hour and minute changes

  // Start-up steps.
  void read_settings_file();
  void open_command_server();
  void load_event_buffer();
  void load_channel_table();
  void wait_for_first_configuration();

  std::string start_alert() const;
  std::filesystem::path file(const std::string& name) const { return dir_ / name; }
  bool open_device_line() { return read_cycle_.open_line(); }  // logs why it can't

  asio::io_context& ioc_;
  OperatorLog& log_;
  StationDeps deps_;
  SteadyTime& steady_;
  std::filesystem::path dir_;
  std::function<void(const std::string&)> operator_alert_;
  std::string start_failure_;
  StationSettings settings_;
  ChannelTable table_;
  Acquisition acquisition_;
  Sampling sampling_;
  Realtime realtime_;
  StationClock clock_;
  ReadCycle read_cycle_;
  EventCheck event_check_;  // takes events_ by reference: used only once running
  ReadDataReply read_data_reply_;
  CommandDispatcher dispatcher_;
  EventPath events_;  // last: its delivery worker ends before the rest goes
};

}  // namespace orvane
