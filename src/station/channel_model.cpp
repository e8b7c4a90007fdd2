#include "station/channel_model.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"

#include <atomic>

namespace orvane {

std::uint64_t ChannelRecords::fresh_stamp() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

SensorTable::SensorTable() {
  rows_.push_back(header());
  rows_.emplace_back();
}

const SensorTable::Row& SensorTable::header() {
  static const Row h = {"",
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
  return h;
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

std::vector<std::string> sensor_lines(const SensorTable& grid) {
  std::vector<std::string> lines;
  for (int r = 1; r < grid.row_count(); ++r) {
    const auto& row = grid.row(r);
    lines.push_back(join_comma_text(std::vector<std::string>(row.begin(), row.end())));
  }
  return lines;
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

std::string label_for(std::string_view port_id) {
  const auto id = trim(port_id);
  if (id.empty()) return "None";
  return std::string(id.substr(0, 5));
}

}  // namespace orvane
