// One station under test: a scratch station directory, its own io_context,
// a manual wall clock and steady time, the shared doubles (configured flag,
// power, device line, FTP uplink, host connection), the operator log and the
// station itself. Tests send framed requests and get the reply bytes, move
// time on (the station's timers fire as they come due), read the log, and
// set up sensor rows, panel values and channel records through the
// station's components.
#pragma once
#include "core/framer.hpp"
#include "station/event_flush.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvane::test {

// "SOH header STX line ... EOT".
inline std::string frame(const std::string& header, const std::vector<std::string>& lines) {
  std::string m = "\x01" + header;
  for (const auto& l : lines) m += "\x02" + l;
  return m + "\x04";
}

// Makes control bytes visible in failure messages.
inline std::string visible(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\x01':
        out += "<SOH>";
        break;
      case '\x02':
        out += "<STX>";
        break;
      case '\x03':
        out += "<ETX>";
        break;
      case '\x04':
        out += "<EOT>";
        break;
      case '\x05':
        out += "<ENQ>";
        break;
      case '\r':
        out += "<CR>";
        break;
      case '\n':
        out += "<LF>";
        break;
      default:
        out += c;
    }
  }
  return out;
}

class StationTest {
 public:
  struct Options {
    bool configured = false;  // the configured flag is set
    bool log_dirs = true;  // log/ and history/ are there
    bool uplink = false;  // events go to `uplink`; without it they stay buffered
    bool deferred = false;  // built by make(), once the test has written its files
    // Reading from `line` (the scripted device line, no modules unless the
    // test adds them) from the start, with the sampling periods of the
    // settings: the read cycle, the event check and the history sampling
    // run as time moves on.
    bool reading = false;
    // The machine's steady time instead of `steady`: the timers fire as the
    // loop runs.
    bool real_time = false;
    // Non-empty: Event.Sav is loaded and events go to this host.
    std::string event_host;
  };

  // The event tests' station: configured, reading, delivering to `uplink`
  // at 10.0.0.9, its buffer loaded.
  static Options for_events(bool log_dirs = true) {
    return {.configured = true, .log_dirs = log_dirs, .uplink = true, .reading = true, .event_host = "10.0.0.9"};
  }

  StationTest() : StationTest(Options{}) {}
  explicit StationTest(Options options) : flag(options.configured), options_(std::move(options)) {
    if (options_.log_dirs) {
      std::filesystem::create_directory(dir / "log");
      std::filesystem::create_directory(dir / "history");
    }
    log.add_observer([this](const std::string& l) { lines_.push_back(l); });
    if (!options_.deferred) make();
  }
  StationTest(const StationTest&) = delete;
  StationTest& operator=(const StationTest&) = delete;
  ~StationTest() { destroy(); }

  // Builds the station (again, when there is one) with these collaborators.
  // `uplink_to` instead of `uplink`: a real client.
  Station& make(CommandListener* listener = nullptr, ModulePoller* device = nullptr, EventUplink* uplink_to = nullptr) {
    destroy();
    StationDeps deps{clock, flag, power, listener, device};
    if (options_.reading && !device) deps.device = &line;
    if (options_.uplink) deps.uplink = &uplink;
    if (uplink_to) deps.uplink = uplink_to;
    if (!options_.real_time) deps.steady_time = &steady;
    deps.flush_group = flush_group;
    deps.private_files = private_files;
    station_ = std::make_unique<Station>(ioc, log, deps, dir.path());
    if (!options_.event_host.empty()) {
      station_->event_path().load();
      station_->settings().host = options_.event_host;
    }
    if (options_.reading) {
      station_->apply_sampling_intervals();
      station_->start_reading();
    }
    return *station_;
  }
  // Ends the station; the timer waits it cancelled finish inside the loop
  // rather than being dropped by the io_context's destructor.
  void destroy() {
    if (!station_) return;
    station_.reset();
    ioc.restart();
    ioc.poll();
  }

  Station& station() { return *station_; }
  Station& operator*() { return *station_; }
  Station* operator->() { return station_.get(); }
  ChannelTable& table() { return station_->channel_table(); }

  // ---- time ----
  // Moves the wall clock and the steady time on together, a millisecond at
  // a time, so every timer that comes due fires, on this thread, and sees
  // the wall time of its moment. Work the handlers post (a module's reads,
  // the upload worker's log lines) waits for the loop to run.
  void advance(std::chrono::milliseconds d) {
    for (auto left = d; left > std::chrono::milliseconds(0); left -= std::chrono::milliseconds(1)) {
      clock.advance(std::chrono::milliseconds(1));
      steady.advance(std::chrono::milliseconds(1));
    }
  }
  // Moves only the steady time: the timers fire, the wall clock stands
  // (the station's clock sees no change of minute or hour).
  void advance_steady(std::chrono::milliseconds d) { steady.advance(d); }

  // ---- requests ----
  // Frames the message, feeds it through a framer and hands it to the
  // station as the command server does (a handler failure is logged
  // "Error : ..."); returns what was sent back on the connection.
  std::string request(const std::vector<std::string>& lines, const std::string& header = "H",
                      const std::shared_ptr<FakeConnection>& c = nullptr) {
    auto& to = c ? c : conn;
    Framer framer;
    framer.feed(
        frame(header, lines), [&](std::span<const std::string_view> l) { hand_over(l, to); }, [] {});
    return to->take();
  }
  // Hands a framed message to the station and, when it is worked on in
  // slices, runs them until it is done.
  void hand_over(std::span<const std::string_view> lines, const std::shared_ptr<FakeConnection>& to) {
    const int before = to->messages_done;
    if (station_->handle_message(lines, to)) return;
    ioc.restart();
    while (to->messages_done == before && ioc.poll_one() > 0) {}
    if (to->messages_done == before) throw std::logic_error("a message worked on in slices was never done");
  }

  // ---- setting up the channel table ----
  // Sensor row N: port id, type, enabled, thresholds.
  void row(int n, const std::string& id, const std::string& type, const std::string& enabled,
           const std::vector<std::string>& thresholds = {}) {
    SensorTable::Row r{};
    if (n < table().sensors().row_count()) r = table().sensors().row(n);
    r[col::kPortId] = id;
    r[col::kPortType] = type;
    r[col::kEnabled] = enabled;
    for (std::size_t i = 0; i < thresholds.size(); ++i) r[col::kThreshold1 + i] = thresholds[i];
    table().set_sensor_row(n, r);
  }
  // Panel N's value, as the read cycle leaves it.
  void value(int n, const std::string& text) { table().set_panel_value(n, text); }
  void add_channel(const std::string& id, const std::string& type, bool enabled, const std::string& value) {
    ChannelRecord s;
    s.port_id = id;
    s.port_type = type;
    s.enabled = enabled;
    s.value = value;
    table().channels().push_back(s);
  }

  // ---- events ----
  std::string event_sav() { return read_text(dir / "Event.Sav"); }
  // Waits for the upload the last tick handed over and takes its log lines,
  // which the worker posts to the station thread.
  void delivered() {
    station_->event_path().delivery().join_worker();
    ioc.restart();
    ioc.poll();
  }

  // ---- the operator log ----
  std::vector<std::string> memo() const { return {log.memo().begin(), log.memo().end()}; }
  bool logged(const std::string& line) const {
    const auto& m = log.memo();
    return std::find(m.begin(), m.end(), line) != m.end();
  }
  std::size_t count_logged(const std::string& line) const {
    const auto& m = log.memo();
    return static_cast<std::size_t>(std::count(m.begin(), m.end(), line));
  }
  // Every line logged since the last take (not bounded like the memo).
  const std::vector<std::string>& lines() const { return lines_; }
  std::vector<std::string> take_lines() { return std::exchange(lines_, {}); }

  TempDir dir;
  asio::io_context ioc;
  ManualClock clock{make_local_time(2006, 12, 7, 12, 30)};  // ts 200612071230
  ManualSteadyTime steady;
  MemoryFlag flag;
  RecordingPower power;
  RecordingUplink uplink;
  EventFlushGroup* flush_group = nullptr;  // set before make(): event appends share its flushes
  std::vector<std::filesystem::path> private_files;  // set before make(): the lock and flag a host may not touch
  ScriptedDeviceLine line{ioc};
  OperatorLog log{ioc};
  std::shared_ptr<FakeConnection> conn = std::make_shared<FakeConnection>();

 private:
  Options options_;
  std::vector<std::string> lines_;
  std::unique_ptr<Station> station_;
};

}  // namespace orvane::test
