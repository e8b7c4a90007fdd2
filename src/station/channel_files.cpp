// Loading the channel and module records, the sensor list and auto.con;
// linking channels to sensor rows; panel resets and labels.
#include "core/comma_text.hpp"
#include "core/text_file.hpp"
#include "station/station.hpp"
#include "station/station_files.hpp"

namespace orvane {

void Station::load_modules() {
  modules.clear();
  for (const auto& line : read_lines_if_exists(file(station_files::kModules))) {
    if (auto m = parse_module_line(line)) {
      modules.push_back(std::move(*m));
    } else {
      log("error");
    }
  }
}

void Station::load_channels() {
  load_modules();
  channels.clear();
  for (const auto& line : read_lines_if_exists(file(station_files::kChannels))) {
    if (auto c = parse_channel_line(line)) {
      channels.push_back(std::move(*c));
    } else {
      log("error");
    }
  }
}

void Station::load_sensor_list() {
  std::error_code ec;
  if (!std::filesystem::exists(file(station_files::kSensors), ec)) return;
  load_sensor_lines(sensor_table, read_lines(file(station_files::kSensors)));
}

void Station::save_sensor_list() { write_lines_atomic(file(station_files::kSensors), sensor_lines(sensor_table)); }

void Station::link_channels() {
  for (auto& ch : channels) {
    ch.table_row = -1;
    for (int r = 1; r < sensor_table.row_count(); ++r) {
      if (sensor_table.cell(r, col::kPortId) == ch.port_id) {
        ch.table_row = r;
        break;
      }
    }
  }
}

void Station::reset_panels() {
  sampling_.change(SamplingChange::hold);
  for (auto& p : panels) p = ChannelPanel{};
}

void Station::refresh_labels() {
  for (int r = 1; r < sensor_table.row_count(); ++r) {
    if (!has_panel(r)) continue;  // rows beyond 32 have no panel
    const auto id = trim(sensor_table.cell(r, col::kPortId));
    if (!id.empty()) panel(r).lbl = label_for(id);
  }
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

}  // namespace orvane
