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

// The panel's tag holds the state; digital values beyond its range saturate
// rather than wrap (a wrapped state could hide a change).
int to_tag(std::int64_t state) {
  return static_cast<int>(
      std::clamp<std::int64_t>(state, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

void ChannelTable::prime_event_state(int row) {
  const auto& sensor_table = sensors_;
  if (!has_panel(row) || row >= sensor_table.row_count()) return;
  auto& p = panel(row);
  p.tag = to_tag(row_state(sensor_table, row, panel_value(p)));
}

void Station::on_event_tick() {
  const auto& settings = settings_;
  const auto& sensor_table = table_.sensors();
  auto& events = events_.buffer();
  const auto panel = [this](int row) -> ChannelPanel& { return table_.panel(row); };
  const bool loopback = trim(settings.host) == kLoopbackHost;
  // The events of one check are buffered together, with one flush; each
  // counts (and its state is taken) only once that flush succeeded. An event
  // that could not be buffered is made again at the next check.
  struct Change {
    int row;
    int state;
    char kind;
  };
  std::vector<Change> changes;
  std::vector<std::string> lines;
  for (int row = 1; row < sensor_table.row_count(); ++row) {
    if (!watched(sensor_table, row)) continue;
    // Rows past the last panel have no value to watch.
    if (!ChannelTable::has_panel(row)) continue;
    auto& p = panel(row);
    const auto value = panel_value(p);
    const int state = to_tag(row_state(sensor_table, row, value));
    if (state == p.tag) continue;
    if (loopback) {
      p.tag = state;
      continue;
    }
    const char kind = digital(sensor_table, row) ? 'D' : 'A';
    const auto line = event_line(kind, stamp_yyyymmddhhnn(now()), settings.factory_id, settings.sensor_id,
                                 sensor_table.cell(row, col::kPortId), int_text(value));
    if (trim(line).empty()) continue;
    changes.push_back({row, state, kind});
    lines.push_back(line);
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
  // Logged as they would have been one by one: this tick's lines are the
  // buffer's last ones.
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const auto& c = changes[i];
    log("Events : Add Event to buffer " + std::to_string(count - changes.size() + 1 + i) + " Events");
    try {
      write_event_log(dir_, now(), lines[i]);
    } catch (const std::exception& e) {
      log(std::string("Error : ") + e.what());
    }
    auto& p = panel(c.row);
    p.tag = c.state;
    const auto raw = event_line(c.kind, stamp_yyyymmddhhnn(now()), settings.factory_id, settings.sensor_id,
                                sensor_table.cell(c.row, col::kPortId), trim(p.value));
    try {
      write_raw_event_log(dir_, now(), raw);
    } catch (const std::exception& e) {
      log(std::string("Error : ") + e.what());
    }
  }
  if (!loopback) check_and_send();
}

void Station::check_and_send() { events_.check_and_send(settings_); }

}  // namespace orvane
