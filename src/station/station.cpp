#include "station/station.hpp"

#include "core/comma_text.hpp"
#include "core/text_file.hpp"
#include "station/snapshot.hpp"
#include "station/station_files.hpp"

#include <asio/post.hpp>

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
      read_cycle_(acquisition_, table_, settings_, log, steady_),
      event_check_(settings_, table_, events_, deps.clock, log, dir_),
      dispatcher_({settings_, table_, realtime_, *this, log, deps.clock, dir_, read_data_reply_, deps_.private_files,
                   ioc, steady_}),
      events_(log, deps.clock, steady_, dir_ / station_files::kEventBuffer,
              {deps.uplink, deps.dialer, deps.pinger, deps.upload_pool}) {
  sampling_.set_handlers({
      .on_read_tick = [this] { guarded([this] { on_read_tick(); }); },
      .on_event_tick = [this] { guarded([this] { on_event_tick(); }); },
      .on_history_tick = [this] { guarded([this] { on_history_tick(); }); },
  });
  event_check_.set_flush_group(deps.flush_group);
  table_.set_flush_group(deps.flush_group);
  // Uploads end on the delivery's thread (or the pool's); their counts are
  // the station thread's. A report may still be queued when the station
  // goes, so it holds the counts it adds to.
  events_.delivery().set_report([&ioc = ioc_, counters = events_.shared_counters()](const UploadOutcome& outcome) {
    asio::post(ioc, [counters, outcome] { counters->record(outcome); });
  });
  realtime_.set_tick_handler([this] { guarded([this] { on_realtime_tick(); }); });
  clock_.on_hour_change([this](LocalTime last, LocalTime now) { guarded([&] { on_hour_change(last, now); }); });
  clock_.on_minute_change([this](LocalTime last, LocalTime now) { guarded([&] { on_minute_change(last, now); }); });
}

Station::~Station() {
  // Nothing is saved here; only the dial-up link is ended.
  guarded([this] { hang_up_all(); });
}

bool Station::sends_unasked_to(const Connection& connection) const {
  const auto& subs = realtime_.subscribers();
  return std::any_of(subs.begin(), subs.end(), [&](const auto& s) { return s.connection.get() == &connection; });
}

bool Station::handle_message(std::span<const std::string_view> lines, const std::shared_ptr<Connection>& from) {
  try {
    return dispatcher_.dispatch(lines, from);
  } catch (...) {
    log_message_failure(log_);
    return true;
  }
}

void Station::start() {
  // An exception at any step is caught here (and at every loop edge by
  // `guarded`): it is logged and ends the sequence. The station stays up
  // but records nothing, so the failure is kept for whoever runs it: a
  // headless station ends with it, the window shows it.
  const char* step = "read the settings";
  try {
    read_settings_file();
    step = "listen for hosts";
    open_command_server();
    step = "load the event buffer";
    load_event_buffer();
    step = "load the channels and sensors";
    load_channel_table();
    step = "start";
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
    start_failure_ = std::string("cannot ") + step + ": " + e.what();
    if (operator_alert_) operator_alert_(start_alert());
  }
}

void Station::set_operator_alert(std::function<void(const std::string&)> notify) {
  operator_alert_ = std::move(notify);
  // A start-up that failed before the window could show it is shown now.
  if (operator_alert_ && !start_failure_.empty()) operator_alert_(start_alert());
}

std::string Station::start_alert() const {
  return "The station could not " + start_failure_.substr(std::string_view("cannot ").size()) +
         "\nIt records nothing until this is put right and it is started again.";
}

void Station::read_settings_file() {
  const auto profile = load_profile(file(station_files::kSettings));
  settings_ = read_settings(profile, dir_.string());
  for (auto& problem : settings_problems(profile)) log(std::move(problem));
  if (::access(dir_.c_str(), W_OK) != 0) log("Error : station directory " + dir_.string() + " is not writable");
}

void Station::open_command_server() {
  if (deps_.listener)
    deps_.listener->listen({.port = settings_.client_port,
                            .allow_hosts = settings_.allow_hosts,
                            .max_hosts = settings_.max_hosts,
                            .idle_seconds = settings_.idle_seconds});
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
  if (!read_cycle_.open_line()) {
    stop_data();
    return;
  }
  sampling_.change(SamplingChange::start_reading);
}

void Station::reset_panels() {
  sampling_.change(SamplingChange::hold);
  table_.clear_panels();
}

void Station::refresh_labels() {
  table_.refresh_labels();
  sampling_.change(SamplingChange::resume_all);
}

bool Station::read_auto_start() const {
  try {
    const auto lines = read_lines_if_exists(file(station_files::kAutoStart));
    return !lines.empty() && trim(lines.front()) == "1";
  } catch (...) {
    return false;
  }
}

void Station::write_auto_start(const std::string& text) {
  try {
    std::error_code ec;
    if (!std::filesystem::exists(file(station_files::kAutoStart), ec)) return;
    auto lines = read_lines(file(station_files::kAutoStart));
    if (lines.empty()) return;
    lines.front() = text;
    write_lines_atomic(file(station_files::kAutoStart), lines);
  } catch (...) {
    // Errors writing auto.con are ignored.
  }
}

StationCounters Station::counters() const {
  StationCounters c;
  c.events = events_.counters();
  c.host_commands = dispatcher_.command_counts();
  c.module_reads = read_cycle_.module_reads();
  c.read_cycle_seconds = read_cycle_.cycle_seconds();
  return c;
}

StationSnapshot Station::snapshot(std::uint64_t memo_seen) const {
  StationSnapshot s;
  const auto& sensor_table = table_.sensors();
  for (int n = 1; n <= limits::kChannels; ++n) {
    const auto& p = table_.panel(n);
    auto& v = s.panels[static_cast<std::size_t>(n - 1)];
    v.label = p.label;
    v.value = p.value;
    v.shown = p.shown;
    v.event_state = p.event_state;
    if (n < sensor_table.row_count()) {
      const auto& row = sensor_table.row(n);
      v.port_id = trim_copy(row[col::kPortId]);
      v.has_sensor = !v.port_id.empty();
      v.enabled = trim(row[col::kEnabled]) == "Y";
      v.digital = trim(row[col::kPortType]) == "D";
      for (int c = col::kThreshold1; c <= col::kThreshold8 && !trim(row[static_cast<std::size_t>(c)]).empty(); ++c)
        ++v.thresholds;
    }
  }
  s.data_mode = sampling_.mode();
  s.settings = settings_;
  s.events_buffered = events_.buffer().size();
  s.realtime_subscribers = realtime_.subscribers().size();
  s.dial_online = events_.dial_online();
  s.station_dir = dir_.string();

  const auto& memo = log_.memo();
  s.memo_total = log_.appended();
  const std::uint64_t wanted = s.memo_total > memo_seen ? s.memo_total - memo_seen : 0;
  const std::size_t take = wanted < memo.size() ? static_cast<std::size_t>(wanted) : memo.size();
  s.memo_complete = wanted <= memo.size();
  s.memo_new.assign(memo.end() - static_cast<std::ptrdiff_t>(take), memo.end());
  return s;
}

}  // namespace orvane
