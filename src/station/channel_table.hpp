// The channel table: the 32 channel panels, the sensor table (sensor.con),
// the module and channel records (module.con, channel.con), the links
// between records and sensor rows, the panels' labels, the values the read
// cycle and SET_VALUE leave on the panels, the hourly accumulators and the
// values saved each minute (last.con). Station thread only.
#pragma once
#include "core/limits.hpp"
#include "core/local_time.hpp"
#include "core/text_file.hpp"
#include "device/module_poller.hpp"
#include "station/channel_model.hpp"
#include "station/operator_log.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class EventFlushGroup;
struct RawRange;
struct CycleModule;

class ChannelTable {
 public:
  using Panels = std::array<ChannelPanel, limits::kChannels>;

  // The files are read and written in `dir`; load failures go to `log`.
  ChannelTable(std::filesystem::path dir, OperatorLog& log) : dir_(std::move(dir)), log_(log) {}
  ChannelTable(const ChannelTable&) = delete;
  ChannelTable& operator=(const ChannelTable&) = delete;

  // ---- files ----
  void load_modules();  // module.con; a line that can't be loaded is logged "error"
  void load_channels();  // module.con, then channel.con
  void load_sensor_list();  // sensor.con, when there is one
  void save_sensor_list();
  // sensor.con in two turns of the loop, for a message's end: a long
  // list's flush is felt. A save or stage meanwhile takes its place (the
  // list it writes is newer); a commit then has nothing left to do.
  void stage_sensor_list();
  void commit_sensor_list();
  void restore_last_values();  // last.con into the panels of the rows it names
  // last.con replaced whole. With a flush group (a fleet's station thread)
  // the new file takes the name once the group's next flush covered it, so
  // thousands of stations saving at the same minute cost one flush, not one
  // each; a failed flush keeps the old file and is logged.
  void save_last_values();
  void set_flush_group(EventFlushGroup* group) { group_ = group; }

  // ---- links and labels ----
  // Each channel record to the first sensor row of its Port ID. Only what
  // changed since the last link is looked at again (the rows from the first
  // one changed, the records whose Port ID changed), so a message that
  // adds a sensor before each line that needs the links costs no walk over
  // the whole list each time.
  void link_channels();
  // Every panel back to "None" with value 0 (SET_ID, DELETE_ID).
  void clear_panels();
  // lbl_N from the Port ID of row N, for the rows that have one.
  void refresh_labels();

  // ---- the sensor list, as SET_ID and DELETE_ID change it ----
  // All rows cleared, one empty row left.
  // All rows cleared, one empty row left; room made for `rows` (the
  // SET_ID lines that may follow).
  void clear_sensor_list(std::size_t rows = 0);
  // SET_ID: cells 1 .. last_cell of `cells` go into the row a new sensor
  // takes: the last row when its Port ID is blank, a new one otherwise.
  void add_sensor(const SensorTable::Row& cells, int last_cell);
  // Deletes the first row holding `port_id` (the only row is emptied
  // instead); false when no row holds it.
  bool delete_sensor(std::string_view port_id);
  // Row r's cells, the table grown to hold it.
  void set_sensor_row(int r, const SensorTable::Row& row);
  // What save_sensor_list would write, when that is at most `max_bytes`
  // long. The length is kept as the list changes, so a list too long is
  // refused without being written out.
  std::optional<std::string> sensor_file_text(std::size_t max_bytes) const;

  // ---- values ----
  // One module's read: its failure logged, its area as eight "%6.5f" texts.
  std::vector<std::string> module_texts(const ModuleRead& read);
  // A read cycle's reads become the values of the channels of the modules
  // read, and the values and shown texts of their enabled rows' panels.
  void apply_readings(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads,
                      const RawRange& range);
  // SET_VALUE: value_N and mask_N of the row whose Port ID is `port_id`
  // (trimmed) := the decimal text of `value`. False when no panel row has it.
  bool set_value_by_hand(std::string_view port_id, std::int64_t value);
  // Panel N's value and shown text alike.
  void set_panel_value(int n, const std::string& text);
  // The panel's event state := that of its row's value (no event).
  void prime_event_state(int row);

  // ---- hourly history ----
  // One history sample of every enabled channel's value.
  void sample_history();
  // The hour that `last_tick` lies in has ended: a line of min/max/average
  // per enabled analog channel goes into the day's history file, and the
  // accumulators start again.
  void write_history_hour(LocalTime last_tick);

  // ---- access ----
  const SensorTable& sensors() const { return sensors_; }
  // Rows changed through this are looked at again, all of them, by the
  // next link and the next length.
  SensorTable& sensors() {
    rows_changed_from(1);
    sensor_bytes_.reset();
    return sensors_;
  }
  const std::vector<ModuleRecord>& modules() const { return modules_; }
  std::vector<ModuleRecord>& modules() { return modules_; }
  const ChannelRecords& channels() const { return channels_; }
  ChannelRecords& channels() { return channels_; }
  const Panels& panels() const { return panels_; }
  // Panel pnl_N, N from 1.
  ChannelPanel& panel(int n) { return panels_.at(static_cast<std::size_t>(n - 1)); }
  const ChannelPanel& panel(int n) const { return panels_.at(static_cast<std::size_t>(n - 1)); }
  static bool has_panel(int row) { return row >= 1 && row <= limits::kChannels; }

 private:
  std::filesystem::path file(std::string_view name) const { return dir_ / name; }
  void log(std::string text) { log_.log(std::move(text)); }
  void rows_changed_from(int row) { links_changed_from_ = std::min(links_changed_from_, row); }

  std::filesystem::path dir_;
  OperatorLog& log_;
  EventFlushGroup* group_ = nullptr;
  bool last_values_saving_ = false;  // waiting for its flush
  bool last_values_again_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for replacements finishing after a flush
  Panels panels_;  // panels_[N-1] is pnl_N
  SensorTable sensors_;
  // Rows from this one on changed since the last link (none: INT_MAX).
  int links_changed_from_ = 1;
  std::vector<std::string> linked_ids_;  // the records' Port IDs at the last link
  mutable std::optional<std::size_t> sensor_bytes_;  // sensor.con's length, while known
  std::unique_ptr<StagedReplacement> staged_sensors_;
  std::vector<ModuleRecord> modules_;  // module.con, in file order
  ChannelRecords channels_;  // channel.con, in file order
};

}  // namespace orvane
