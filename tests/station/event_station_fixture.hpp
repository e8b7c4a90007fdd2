// A Station in a scratch directory with a manual clock, for the event,
// uplink and history tests; operator-log lines are collected.
#pragma once
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <asio/io_context.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace orvane::test {

struct EventStation {
  TempDir dir;
  asio::io_context ioc;
  OperatorLog log{ioc};
  ManualClock clock{make_local_time(2006, 12, 7, 12, 30)};
  MemoryFlag flag{true};
  RecordingPower power{false};
  RecordingUplink uplink;
  std::unique_ptr<Station> station;
  std::vector<std::string> lines;

  explicit EventStation(bool with_log_dirs = true) {
    if (with_log_dirs) {
      std::filesystem::create_directory(dir / "log");
      std::filesystem::create_directory(dir / "history");
    }
    StationDeps deps{clock, flag, power, nullptr};
    deps.uplink = &uplink;
    station = std::make_unique<Station>(ioc, log, deps, dir.path());
    log.add_observer([this](const std::string& l) { lines.push_back(l); });
    station->load_event_buffer();
    station->settings.host = "10.0.0.9";
  }
  Station& operator*() { return *station; }
  Station* operator->() { return station.get(); }

  // Grid row N: port id, type, enabled, thresholds.
  void row(int n, const std::string& id, const std::string& type, const std::string& enabled,
           std::vector<std::string> thresholds = {}) {
    if (station->sensor_table.row_count() <= n) station->sensor_table.set_row_count(n + 1);
    auto& r = station->sensor_table.row(n);
    r[col::kPortId] = id;
    r[col::kPortType] = type;
    r[col::kEnabled] = enabled;
    for (std::size_t i = 0; i < thresholds.size(); ++i) r[col::kThreshold1 + i] = thresholds[i];
  }
  void value(int n, const std::string& text) {
    station->panel(n).value = text;
    station->panel(n).mask = text;
  }
  std::string event_sav() { return read_text(dir / "Event.Sav"); }
  // Waits for the upload the last tick handed over and takes its log lines,
  // which the worker posts to the station thread.
  void delivered() {
    station->delivery().join_worker();
    ioc.restart();
    ioc.poll();
  }
  std::vector<std::string> take_lines() { return std::exchange(lines, {}); }
};

}  // namespace orvane::test
