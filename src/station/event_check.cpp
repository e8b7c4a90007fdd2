// Event detection: channel values against thresholds and last states, the
// event lines they make, and the hand-over to the uplink.
#include "core/comma_text.hpp"
#include "core/event_record.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "station/channel_table.hpp"
#include "station/event_log_files.hpp"
#include "station/station.hpp"
#include "station/station_files.hpp"

#include <algorithm>
#include <limits>

namespace orvane {
namespace {

constexpr const char* kLoopbackHost = "127.0.0.1";

bool watched(const SensorTable& grid, int row) {
  return !trim(grid.cell(row, col::kPortId)).empty() && trim(grid.cell(row, col::kEnabled)) == "Y";
}

bool digital(const SensorTable& grid, int row) { return trim(grid.cell(row, col::kPortType)) == "D"; }

std::int64_t row_state(const SensorTable& grid, int row, std::int64_t value) {
  std::array<std::string_view, 8> thresholds;
  for (int c = col::kThreshold1; c <= col::kThreshold8; ++c)
    thresholds[static_cast<std::size_t>(c - col::kThreshold1)] = grid.cell(row, c);
  return event_state(digital(grid, row), value, thresholds);
}

std::int64_t panel_value(const ChannelPanel& panel) { return leading_int(trim(panel.value), 0); }

// The panel's event state holds it; digital values beyond its range saturate
// rather than wrap (a wrapped state could hide a change).
int to_event_state(std::int64_t state) {
  return static_cast<int>(
      std::clamp<std::int64_t>(state, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

void ChannelTable::prime_event_state(int row) {
  const auto& sensor_table = sensors_;
  if (!has_panel(row) || row >= sensor_table.row_count()) return;
  auto& p = panel(row);
  p.event_state = to_event_state(row_state(sensor_table, row, panel_value(p)));
}

void Station::on_event_tick() {
  const auto& settings = settings_;
  const auto& sensor_table = table_.sensors();
  auto& events = events_.buffer();
  const auto panel = [this](int row) -> ChannelPanel& { return table_.panel(row); };
  const bool loopback = trim(settings.host) == kLoopbackHost;
  // One time for the whole check: its lines, their stamps and the day's log
  // files belong to the same instant.
  const LocalTime at = now();
  const auto stamp = stamp_yyyymmddhhnn(at);
  // The events of one check are buffered together, with one flush; each
  // counts (and its state is taken) only once that flush succeeded. An event
  // that could not be buffered is made again at the next check.
  struct Change {
    int row;
    int state;
  };
  std::vector<Change> changes;
  std::vector<std::string> lines;  // as buffered
  std::vector<std::string> raw_lines;  // with the panel's text as the value, for the raw log
  for (int row = 1; row < sensor_table.row_count(); ++row) {
    if (!watched(sensor_table, row)) continue;
    // Rows past the last panel have no value to watch.
    if (!ChannelTable::has_panel(row)) continue;
    auto& p = panel(row);
    const auto value = panel_value(p);
    const int state = to_event_state(row_state(sensor_table, row, value));
    if (state == p.event_state) continue;
    if (loopback) {
      p.event_state = state;
      continue;
    }
    const char kind = digital(sensor_table, row) ? 'D' : 'A';
    const auto port_id = sensor_table.cell(row, col::kPortId);
    auto line = event_line(kind, stamp, settings.factory_id, settings.sensor_id, port_id, int_text(value));
    if (trim(line).empty()) continue;
    changes.push_back({row, state});
    lines.push_back(std::move(line));
    raw_lines.push_back(event_line(kind, stamp, settings.factory_id, settings.sensor_id, port_id, trim(p.value)));
  }
  std::size_t count = 0;
  if (!lines.empty()) {
    try {
      count = events.add_all(lines);
    } catch (const std::exception& e) {
      log(std::string("Error : event not buffered: ") + e.what());
      changes.clear();
    }
  }
  if (!changes.empty()) {
    // Each day file takes the check's lines in one write; what each line met
    // is logged after its "Add Event", as if they had been written one by one.
    // The events are buffered: nothing here may keep their states from being taken.
    auto write_logs = [&](auto write, const std::vector<std::string>& of) {
      try {
        return write(dir_, at, of);
      } catch (const std::exception& e) {
        return std::vector<std::string>(of.size(), e.what());
      }
    };
    const auto log_errors = write_logs(write_event_logs, lines);
    const auto raw_errors = write_logs(write_raw_event_logs, raw_lines);
    // This tick's lines are the buffer's last ones.
    for (std::size_t i = 0; i < changes.size(); ++i) {
      log("Events : Add Event to buffer " + std::to_string(count - changes.size() + 1 + i) + " Events");
      if (!log_errors[i].empty()) log("Error : " + log_errors[i]);
      if (!raw_errors[i].empty()) log("Error : " + raw_errors[i]);
      panel(changes[i].row).event_state = changes[i].state;
    }
  }
  if (!loopback) check_and_send();
}

void Station::check_and_send() { events_.check_and_send(settings_); }

}  // namespace orvane
