// The channel table: loading the channel and module records and the sensor
// list, linking channels to sensor rows, panel resets and labels, the values
// the read cycle and SET_VALUE leave, the event states the panels start
// from, last.con and the hourly history.
#include "station/channel_table.hpp"

#include "core/comma_text.hpp"
#include "core/conversion.hpp"
#include "core/history_item.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "core/text_file.hpp"
#include "device/result_codes.hpp"
#include "station/acquisition.hpp"
#include "station/event_flush.hpp"
#include "station/station_files.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

namespace orvane {

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

// Only a..z change: the file has always held Port IDs upper-cased this way.
std::string upper_ascii(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && upper_ascii(a) == upper_ascii(b);
}

}  // namespace

// ---- files ----

void ChannelTable::load_modules() { load_records(file(station_files::kModules), parse_module_line, modules_, log_); }

void ChannelTable::load_channels() {
  load_modules();
  load_records(file(station_files::kChannels), parse_channel_line, channels_, log_);
}

void ChannelTable::load_sensor_list() {
  std::error_code ec;
  if (!std::filesystem::exists(file(station_files::kSensors), ec)) return;
  rows_changed_from(1);
  sensor_bytes_.reset();
  load_sensor_lines(sensors_, read_lines(file(station_files::kSensors)));
}

void ChannelTable::save_sensor_list() {
  staged_sensors_.reset();
  write_file_atomic(file(station_files::kSensors), orvane::sensor_file_text(sensors_, sensor_bytes_.value_or(0)));
}

void ChannelTable::stage_sensor_list() {
  staged_sensors_.reset();
  staged_sensors_ = std::make_unique<StagedReplacement>(file(station_files::kSensors),
                                                        orvane::sensor_file_text(sensors_, sensor_bytes_.value_or(0)));
}

void ChannelTable::commit_sensor_list() {
  if (const auto staged = std::move(staged_sensors_)) staged->commit();
}

void ChannelTable::restore_last_values() {
  const auto path = file(station_files::kLastValues);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  std::vector<std::string> lines;
  try {
    lines = read_lines(path);
  } catch (const std::exception& e) {
    // An unreadable file must not end the start-up sequence before reading starts.
    log(std::string("Error : ") + e.what());
    return;
  }
  log("Emualtor  : load " + int_text(static_cast<std::int64_t>(lines.size())));
  for (const auto& line : lines) {
    const auto items = split_comma_text(line);
    if (items.size() < 2) {
      log("error");
      continue;
    }
    const auto id = trim(items[0]);
    for (int r = 0; r < sensors_.row_count(); ++r) {
      if (!equal_ignoring_case(sensors_.cell(r, col::kPortId), id)) continue;
      // The first match decides; the header row and rows beyond the panels
      // have no value box to restore into.
      if (has_panel(r)) {
        panel(r).value = trim_copy(items[1]);
        prime_event_state(r);
      }
      break;
    }
  }
}

void ChannelTable::save_last_values() {
  std::vector<std::string> lines;
  for (int r = 1; r < sensors_.row_count() && has_panel(r); ++r)
    lines.push_back(upper_ascii(trim(sensors_.cell(r, col::kPortId))) + "," + panel(r).value);
  const auto path = file(station_files::kLastValues);
  if (!group_) {
    write_lines_atomic(path, lines);
    return;
  }
  // One replacement at a time: the spare may not be rewritten before its
  // exchange. A save asked for meanwhile is made once that one ends.
  if (last_values_saving_) {
    last_values_again_ = true;
    return;
  }
  const auto spare = write_spare_unflushed(path, join_crlf(lines));
  last_values_saving_ = true;
  group_->after_file_flush(spare, [this, alive = std::weak_ptr<bool>(alive_), spare, path](bool flushed) {
    std::string error;
    if (!flushed)
      error = "Cannot flush file " + path.string();
    else if (!exchange_spare(spare, path))
      error = "Cannot replace file " + path.string() + ": " + std::strerror(errno);
    if (alive.expired()) return;
    last_values_saving_ = false;
    if (!error.empty()) log_.log("Error : " + error);
    if (std::exchange(last_values_again_, false)) save_last_values();
  });
}

// ---- links and labels ----

void ChannelTable::link_channels() {
  const int rows = sensors_.row_count();
  // Rows before this one are as they were at the last link: a record
  // linked before it keeps its row, and no other record matches before it.
  const int from = std::clamp(links_changed_from_, 1, std::max(rows, 1));
  bool ids_changed = linked_ids_.size() != channels_.size();
  for (std::size_t i = 0; i < channels_.size(); ++i) {
    const auto& ch = channels_[i];
    int r = 1;
    if (i < linked_ids_.size() && linked_ids_[i] == ch.port_id) {
      if (ch.table_row >= 1 && ch.table_row < from) continue;
      r = from;
    } else {
      ids_changed = true;
    }
    while (r < rows && sensors_.cell(r, col::kPortId) != ch.port_id) ++r;
    const int row = r < rows ? r : -1;
    if (row != ch.table_row) channels_.edit(i).table_row = row;
  }
  if (ids_changed) {
    linked_ids_.clear();
    for (const auto& ch : channels_) linked_ids_.push_back(ch.port_id);
  }
  links_changed_from_ = std::numeric_limits<int>::max();
}

void ChannelTable::clear_panels() {
  for (auto& p : panels_) p = ChannelPanel{};
}

void ChannelTable::refresh_labels() {
  // Rows beyond 32 have no panel.
  for (int r = 1; r < sensors_.row_count() && has_panel(r); ++r) {
    const auto id = trim(sensors_.cell(r, col::kPortId));
    if (!id.empty()) panel(r).label = label_for(id);
  }
}

// ---- the sensor list ----

void ChannelTable::clear_sensor_list(std::size_t rows) {
  sensors_ = SensorTable();
  // A SET_ID line takes at least 20 bytes of a message ("SET_ID 1 F S P AI Y").
  sensors_.reserve(static_cast<int>(std::min(rows, limits::kMaxMessageBytes / 20) + 2));
  rows_changed_from(1);
  sensor_bytes_ = sensor_line_bytes(sensors_.row(1));
}

void ChannelTable::add_sensor(const SensorTable::Row& cells, int last_cell) {
  int r = sensors_.row_count() - 1;
  if (r < 1 || !trim(sensors_.cell(r, col::kPortId)).empty()) {
    sensors_.add_row();
    ++r;
  } else if (sensor_bytes_) {
    *sensor_bytes_ -= sensor_line_bytes(sensors_.row(r));
  }
  auto& row = sensors_.row(r);
  for (int c = 1; c <= last_cell && c < limits::kGridColumns; ++c)
    row[static_cast<std::size_t>(c)] = cells[static_cast<std::size_t>(c)];
  if (sensor_bytes_) *sensor_bytes_ += sensor_line_bytes(row);
  rows_changed_from(r);
}

bool ChannelTable::delete_sensor(std::string_view port_id) {
  for (int r = 1; r < sensors_.row_count(); ++r) {
    if (sensors_.cell(r, col::kPortId) != port_id) continue;
    if (sensor_bytes_) *sensor_bytes_ -= sensor_line_bytes(sensors_.row(r));
    if (sensors_.row_count() == 2) {
      sensors_.row(r) = SensorTable::Row{};
      if (sensor_bytes_) *sensor_bytes_ += sensor_line_bytes(sensors_.row(r));
    } else {
      sensors_.delete_row(r);
    }
    rows_changed_from(r);
    return true;
  }
  return false;
}

void ChannelTable::set_sensor_row(int r, const SensorTable::Row& row) {
  rows_changed_from(std::min(r, sensors_.row_count()));
  sensor_bytes_.reset();
  if (sensors_.row_count() <= r) sensors_.set_row_count(r + 1);
  sensors_.row(r) = row;
}

std::optional<std::string> ChannelTable::sensor_file_text(std::size_t max_bytes) const {
  if (!sensor_bytes_) {
    std::size_t bytes = 0;
    for (int r = 1; r < sensors_.row_count(); ++r) bytes += sensor_line_bytes(sensors_.row(r));
    sensor_bytes_ = bytes;
  }
  if (*sensor_bytes_ > max_bytes) return std::nullopt;
  return orvane::sensor_file_text(sensors_, *sensor_bytes_);
}

// ---- values ----

std::vector<std::string> ChannelTable::module_texts(const ModuleRead& read) {
  if (read.code != rc::kNoError) log("The Error Code:" + int_text(read.code) + "\r" + result_code_text(read.code));
  std::vector<std::string> texts;
  texts.reserve(read.area.size());
  for (const float v : read.area) texts.push_back(reading_text(v));
  return texts;
}

void ChannelTable::apply_readings(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads,
                                  const RawRange& range) {
  std::size_t next_read = 0;
  std::vector<std::string> readings;
  for (const auto& module : cycle_modules) {
    readings.clear();
    if (module.read && next_read < reads.size()) readings = module_texts(reads[next_read++]);
    for (auto& ch : channels_.edit_all()) {
      if (!ch.enabled || ch.module != module.number) continue;
      ch.raw = 0;
      if (ch.channel >= 0 && static_cast<std::size_t>(ch.channel) < readings.size())
        ch.raw = parse_decimal(readings[static_cast<std::size_t>(ch.channel)]).value_or(0);
      const bool linked = ch.table_row >= 1 && ch.table_row < sensors_.row_count();
      if (!linked) {
        const auto v = full_scale_value(ch.raw, range);
        ch.value = v ? int_text(*v) : "0";
        continue;
      }
      const auto& row = sensors_.row(ch.table_row);
      const std::int64_t lower = strict_int(trim(row[col::kLower])).value_or(0);
      const std::int64_t upper = strict_int(trim(row[col::kUpper])).value_or(0);
      const auto v = range_value(ch.raw, range, lower, upper);
      ch.value = v ? int_text(*v) : "0";
      // Rows beyond the 32 panels keep their channel's value but show nothing.
      if (trim(row[col::kEnabled]) == "Y" && has_panel(ch.table_row)) {
        auto& p = panel(ch.table_row);
        p.value = ch.value;
        p.shown = general_text(ch.raw);
      }
    }
  }
}

bool ChannelTable::set_value_by_hand(std::string_view port_id, std::int64_t value) {
  const auto id = trim(port_id);
  for (int r = 1; r < sensors_.row_count(); ++r) {
    if (sensors_.cell(r, col::kPortId) != id) continue;
    if (!has_panel(r)) return false;
    auto& p = panel(r);
    p.value = int_text(value);
    p.shown = p.value;
    return true;
  }
  return false;
}

void ChannelTable::set_panel_value(int n, const std::string& text) {
  auto& p = panel(n);
  p.value = text;
  p.shown = text;
}

void ChannelTable::prime_event_state(int row) {
  if (!has_panel(row) || row >= sensors_.row_count()) return;
  auto& p = panel(row);
  p.event_state = row_event_state(sensors_, row, panel_value(p));
}

// ---- hourly history ----

void ChannelTable::sample_history() {
  for (auto& ch : channels_.edit_all()) {
    if (!ch.enabled) continue;
    const std::int32_t v = strict_int(ch.value).value_or(0);
    if (ch.hour_started) {
      ch.hour_min = std::min(ch.hour_min, v);
      ch.hour_max = std::max(ch.hour_max, v);
      ch.hour_sum += v;
      ++ch.hour_count;
    } else {
      ch.hour_min = ch.hour_max = v;
      ch.hour_sum = v;
      ch.hour_count = 1;
      ch.hour_started = true;
    }
  }
}

// `last_tick` lies in the hour that ended: its day names the file, so the
// 23:00 line goes into the day that ended.
void ChannelTable::write_history_hour(LocalTime last_tick) {
  const auto t = civil(last_tick);
  const auto path = station_files::history_file(dir_, t.day);
  const auto month = stamp_yyyymm(last_tick);

  std::string line;
  for (auto& ch : channels_.edit_all()) {
    if (ch.port_type == "A" && ch.enabled)
      line += history_item(t.hour, trim(ch.port_id), ch.hour_min, ch.hour_max, ch.hour_sum, ch.hour_count);
    ch.hour_started = false;
  }
  if (trim(line).empty()) return;

  // A day file that is there but can't be read is left as it is (the
  // error names the file and the reason): replacing it would lose the day.
  std::vector<std::string> lines;
  std::error_code ec;
  if (std::filesystem::exists(path, ec) || ec) lines = read_lines(path);
  if (lines.empty() || trim(lines.front()) != month) lines.assign(1, month);
  lines.push_back(std::move(line));
  write_lines_atomic(path, lines);
}

}  // namespace orvane
