// The channel model: the 32 channel panels, the sensor table (sensor.con),
// and the module and channel records loaded from module.con / channel.con.
#pragma once
#include "core/limits.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

// Panel pnl_N: lbl_N (name), value_N (scaled value, hidden) with its tag
// (the channel's event state), mask_N (value as shown).
struct ChannelPanel {
  std::string label = "None";  // lbl_N: the first characters of the Port ID
  std::string value = "0";
  int event_state = 0;  // level (analog) or last state (digital) at the last event check
  std::string shown = "0";  // mask_N: the value as shown
};

// sensor_table columns.
namespace col {
inline constexpr int kFree = 0, kPortId = 1, kPortType = 2, kIO = 3, kEnabled = 4, kLower = 5, kUpper = 6,
                     kThreshold1 = 7, kThreshold8 = 14;
}

class SensorTable {
 public:
  using Row = std::array<std::string, limits::kGridColumns>;

  SensorTable();  // header row and one empty row, as on the form

  int row_count() const { return static_cast<int>(rows_.size()); }
  // Keeps the header; new rows are empty, surplus rows are dropped.
  void set_row_count(int n);
  Row& row(int r) { return rows_.at(static_cast<std::size_t>(r)); }
  const Row& row(int r) const { return rows_.at(static_cast<std::size_t>(r)); }
  std::string& cell(int r, int c) { return row(r).at(static_cast<std::size_t>(c)); }
  const std::string& cell(int r, int c) const { return row(r).at(static_cast<std::size_t>(c)); }
  void delete_row(int r);
  void add_row() { rows_.emplace_back(); }
  // Room for this many rows in all: a long list then grows without moving.
  void reserve(int rows) { rows_.reserve(static_cast<std::size_t>(std::max(rows, 0))); }

  // The header row's cells, as the form shows them.
  static Row header();

 private:
  std::vector<Row> rows_;
};

// ModuleRecord: one line of module.con.
struct ModuleRecord {
  std::int32_t number = 0;
  std::string model;  // such as "4017"
  std::string address;  // one character, a hex digit
  std::string kind;  // "A" = analog module
  bool enabled = false;
};

// ChannelRecord: one line of channel.con, with what the read cycle and the hourly
// history keep per channel.
struct ChannelRecord {
  std::string port_id;
  std::string port_type;  // "A" or "D"
  std::string io;  // "I" or "O"
  bool enabled = false;
  std::int32_t module = 1;
  std::string address = "1";
  std::int32_t channel = 0;  // 0..7 on the module
  double raw = 0;  // raw reading
  std::string value = "0";  // scaled value text
  std::int32_t hour_min = 0, hour_max = 0, hour_count = 0;
  std::int64_t hour_sum = 0;
  bool hour_started = false;
  std::int32_t table_row = -1;  // linked sensor_table row, -1 = none
};

// The channel records (channel.con, in file order) with a stamp of their
// state: every write gives the records a new stamp, so a reader that keeps
// something made from them (the READ_DATA lines) tells by the stamp alone
// whether it still holds. Reading goes through the const members, writing
// through the members that say so.
class ChannelRecords {
 public:
  using Records = std::vector<ChannelRecord>;

  ChannelRecords() = default;
  ChannelRecords(const ChannelRecords& other) : records_(other.records_) {}
  ChannelRecords& operator=(const ChannelRecords& other) {
    records_ = other.records_;
    ++stamp_;
    return *this;
  }
  ChannelRecords& operator=(Records records) {
    records_ = std::move(records);
    ++stamp_;
    return *this;
  }

  // Changes with every write; never repeats for one set of records.
  std::uint64_t stamp() const { return stamp_; }

  Records::const_iterator begin() const { return records_.begin(); }
  Records::const_iterator end() const { return records_.end(); }
  const ChannelRecord& operator[](std::size_t i) const { return records_[i]; }
  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }

  // Record i, or every record, to be written.
  ChannelRecord& edit(std::size_t i) {
    ++stamp_;
    return records_.at(i);
  }
  std::span<ChannelRecord> edit_all() {
    ++stamp_;
    return records_;
  }
  void push_back(ChannelRecord record) {
    ++stamp_;
    records_.push_back(std::move(record));
  }
  void pop_back() {
    ++stamp_;
    records_.pop_back();
  }
  void clear() {
    ++stamp_;
    records_.clear();
  }

 private:
  Records records_;
  std::uint64_t stamp_ = 0;
};

// Parsers of one file line; nothing when the line can't be loaded.
std::optional<ModuleRecord> parse_module_line(std::string_view line);
std::optional<ChannelRecord> parse_channel_line(std::string_view line);

// sensor.con: rows 1.. of the grid, one comma-text line each.
// `expected_bytes`: room made at first (the text may be longer or shorter).
std::string sensor_file_text(const SensorTable& grid, std::size_t expected_bytes = 0);
// The bytes a row takes in it, its line end included.
std::size_t sensor_line_bytes(const SensorTable::Row& row);
void load_sensor_lines(SensorTable& grid, const std::vector<std::string>& lines);

// Event states of the sensor rows. A row is watched when it has a Port ID
// and is enabled; its state for a value is its level (analog) or the value
// itself (digital), saturated to an int (a wrapped state could hide a change).
bool row_watched(const SensorTable& grid, int row);
bool row_digital(const SensorTable& grid, int row);
int row_event_state(const SensorTable& grid, int row, std::int64_t value);
// The panel's value as a number, as the event check reads it.
std::int64_t panel_value(const ChannelPanel& panel);

// The text of lbl_N for a Port ID: "None" when blank, else its first 5 characters.
std::string label_for(std::string_view port_id);

}  // namespace orvane
