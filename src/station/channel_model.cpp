#include "station/channel_model.hpp"

#include "core/comma_text.hpp"
#include "core/event_record.hpp"
#include "core/integer_text.hpp"

#include <algorithm>
#include <limits>

namespace orvane {

SensorTable::SensorTable() {
  rows_.push_back(header());
  rows_.emplace_back();
}

SensorTable::Row SensorTable::header() {
  return {"",
          " Port ID",
          "Port Type",
          "I/O",
          "Enabled",
          "Lower bound",
          "Upper Bound",
          " Threshold 1",
          "Threshold 2",
          "Threshold 3",
          "Threshold 4",
          "Threshold 5",
          "Threshold 6",
          "Threshold 7",
          "Threshold 8"};
}

void SensorTable::set_row_count(int n) {
  if (n < 1) n = 1;
  rows_.resize(static_cast<std::size_t>(n));
}

void SensorTable::delete_row(int r) {
  if (r <= 0 || r >= row_count()) return;
  rows_.erase(rows_.begin() + r);
}

std::optional<ModuleRecord> parse_module_line(std::string_view line) {
  const auto items = split_comma_text(line);
  if (items.size() < 5) return std::nullopt;
  const auto number = strict_int(items[0]);
  if (!number || items[3].empty()) return std::nullopt;
  ModuleRecord m;
  m.number = *number;
  m.model = items[1];
  m.kind = items[2];
  m.address = items[3].substr(0, 1);
  m.enabled = trim(items[4]) == "Y";
  return m;
}

std::optional<ChannelRecord> parse_channel_line(std::string_view line) {
  const auto items = split_comma_text(line);
  if (items.size() < 7) return std::nullopt;
  const auto module = strict_int(items[3]);
  const auto channel = strict_int(items[5]);
  if (!module || !channel || items[4].empty()) return std::nullopt;
  ChannelRecord s;
  s.port_id = items[0];
  s.port_type = items[1];
  s.io = items[2];
  s.module = *module;
  s.address = items[4];
  s.channel = *channel;
  s.enabled = trim(items[6]) == "Y";
  return s;
}

std::size_t sensor_line_bytes(const SensorTable::Row& row) { return comma_text_size(row) + 2; }

std::string sensor_file_text(const SensorTable& grid, std::size_t expected_bytes) {
  // Tens of thousands of rows after a long SET_ID message, megabytes of
  // cells: read once, each row written into room made for its worst case.
  std::string text(expected_bytes, '\0');
  std::size_t used = 0;
  for (int r = 1; r < grid.row_count(); ++r) {
    const auto& row = grid.row(r);
    const std::size_t most = comma_text_room(row) + 2;
    if (text.size() - used < most) text.resize(std::max(2 * text.size(), used + most));
    char* out = write_comma_text(text.data() + used, row);
    *out++ = '\r';
    *out++ = '\n';
    used = static_cast<std::size_t>(out - text.data());
  }
  text.resize(used);
  return text;
}

void load_sensor_lines(SensorTable& grid, const std::vector<std::string>& lines) {
  grid.set_row_count(lines.size() < 2 ? 2 : static_cast<int>(lines.size()) + 1);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto& row = grid.row(static_cast<int>(i) + 1);
    row = SensorTable::Row{};
    const auto cells = split_comma_text(lines[i]);
    for (std::size_t c = 0; c < cells.size() && c < row.size(); ++c) row[c] = cells[c];
  }
}

bool row_watched(const SensorTable& grid, int row) {
  return !trim(grid.cell(row, col::kPortId)).empty() && trim(grid.cell(row, col::kEnabled)) == "Y";
}

bool row_digital(const SensorTable& grid, int row) { return trim(grid.cell(row, col::kPortType)) == "D"; }

int row_event_state(const SensorTable& grid, int row, std::int64_t value) {
  std::array<std::string_view, 8> thresholds;
  for (int c = col::kThreshold1; c <= col::kThreshold8; ++c)
    thresholds[static_cast<std::size_t>(c - col::kThreshold1)] = grid.cell(row, c);
  const auto state = event_state(row_digital(grid, row), value, thresholds);
  return static_cast<int>(
      std::clamp<std::int64_t>(state, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

std::int64_t panel_value(const ChannelPanel& panel) { return leading_int(trim(panel.value), 0); }

std::string label_for(std::string_view port_id) {
  const auto id = trim(port_id);
  if (id.empty()) return "None";
  return std::string(id.substr(0, 5));
}

}  // namespace orvane
