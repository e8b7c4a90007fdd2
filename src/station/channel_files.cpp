// Loading the channel and module records and the sensor list; linking
// channels to sensor rows; panel resets and labels; auto.con.
#include "core/comma_text.hpp"
#include "core/text_file.hpp"
#include "station/channel_table.hpp"
#include "station/station.hpp"
#include "station/station_files.hpp"

namespace orvane {

void Station::reset_panels() {
  sampling_.change(SamplingChange::hold);
  table_.clear_panels();
}

void Station::refresh_labels() {
  table_.refresh_labels();
  sampling_.change(SamplingChange::resume_all);
}

namespace {

// Every line of `path` that `parse` takes goes to `records`, in file order;
// each line it can't take is logged "error".
template <class Records, class Parse>
void load_records(const std::filesystem::path& path, Parse parse, Records& records, OperatorLog& log) {
  records.clear();
  for (const auto& line : read_lines_if_exists(path)) {
    if (auto record = parse(line)) {
      records.push_back(std::move(*record));
    } else {
      log.log("error");
    }
  }
}

}  // namespace

void ChannelTable::load_modules() { load_records(file(station_files::kModules), parse_module_line, modules_, log_); }

void ChannelTable::load_channels() {
  load_modules();
  load_records(file(station_files::kChannels), parse_channel_line, channels_, log_);
}

void ChannelTable::load_sensor_list() {
  std::error_code ec;
  if (!std::filesystem::exists(file(station_files::kSensors), ec)) return;
  load_sensor_lines(sensors_, read_lines(file(station_files::kSensors)));
}

void ChannelTable::save_sensor_list() { write_lines_atomic(file(station_files::kSensors), sensor_lines(sensors_)); }

void ChannelTable::link_channels() {
  for (auto& ch : channels_) {
    ch.table_row = -1;
    for (int r = 1; r < sensors_.row_count(); ++r) {
      if (sensors_.cell(r, col::kPortId) == ch.port_id) {
        ch.table_row = r;
        break;
      }
    }
  }
}

void ChannelTable::clear_panels() {
  for (auto& p : panels_) p = ChannelPanel{};
}

SensorTable::Row& ChannelTable::row_for_new_sensor() {
  const int last = sensors_.row_count() - 1;
  if (last < 1 || !trim(sensors_.cell(last, col::kPortId)).empty()) sensors_.add_row();
  return sensors_.row(sensors_.row_count() - 1);
}

bool ChannelTable::delete_sensor(std::string_view port_id) {
  for (int r = 1; r < sensors_.row_count(); ++r) {
    if (sensors_.cell(r, col::kPortId) != port_id) continue;
    if (sensors_.row_count() == 2) {
      sensors_.row(r) = SensorTable::Row{};
    } else {
      sensors_.delete_row(r);
    }
    return true;
  }
  return false;
}

void ChannelTable::set_sensor_row(int r, const SensorTable::Row& row) {
  if (sensors_.row_count() <= r) sensors_.set_row_count(r + 1);
  sensors_.row(r) = row;
}

void ChannelTable::refresh_labels() {
  for (int r = 1; r < sensors_.row_count(); ++r) {
    if (!has_panel(r)) continue;  // rows beyond 32 have no panel
    const auto id = trim(sensors_.cell(r, col::kPortId));
    if (!id.empty()) panel(r).label = label_for(id);
  }
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
