// SET_CONFIG, SET_ID, DELETE_ID and READ_CONFIG: the host sets and reads the
// station's identity, settings and sensor list.
#include "core/comma_text.hpp"
#include "core/reply_writer.hpp"
#include "station/channel_table.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/operator_log.hpp"
#include "station/realtime.hpp"
#include "station/station_control.hpp"
#include "station/station_files.hpp"

#include <utility>

namespace orvane {

namespace {

void set_config_error(StationControl& control) {
  control.alert_operator("Set Config Error!");  // a message box in the window, a log line headless
}

// Writes the identity emulate.ini is to hold. When it can't be, memory
// goes back to what the file holds, the host gets no ACK (it sends the
// configuration again) and none of it is acted on.
bool save_settings(ConfigParts& parts, MessageMarks& marks) {
  if (!marks.settings_unsaved) return true;
  auto update = std::move(marks.settings_unsaved);
  try {
    write_identity(parts.dir / station_files::kSettings, *update);
  } catch (...) {
    set_identity(*marks.settings_saved, parts.settings);
    set_config_error(parts.control);
    marks.config_failed = true;
    marks.config.reset();
    return false;
  }
  marks.settings_saved = std::move(update);
  marks.settings_written = true;
  try {
    parts.control.mark_configured();
  } catch (...) {
    set_config_error(parts.control);
  }
  return true;
}

// What a saved configuration starts. The message's first configuration is
// saved before it is acted on, so one the station can't keep changes
// nothing; once the file took one, later ones are acted on at once and
// saved at the end of the message, not once per line.
void finish_config(ConfigParts& parts, MessageMarks& marks) {
  marks.config.reset();
  if (!marks.settings_written && !save_settings(parts, marks)) return;
  try {
    parts.control.apply_sampling_intervals();
    parts.control.set_clock_active(true);
    parts.control.start_reading();
  } catch (...) {
    set_config_error(parts.control);
  }
}

void finish_list(ConfigParts& parts, MessageMarks& marks) {
  marks.list_changed = false;
  // Rows below a deleted one move up: the channel records follow them.
  parts.table.link_channels();
  parts.control.refresh_labels();
}

}  // namespace

void handle_set_config(ConfigParts parts, const Items& items, MessageMarks& marks) {
  try {
    // Line breaks become blanks, in emulate.ini as in memory, which holds
    // what the file gives back after a restart.
    IdentityUpdate c{item(items, 2), item(items, 3), item(items, 4), item(items, 5), item(items, 6), item(items, 7)};
    for (auto* text : {&c.factory_id, &c.sensor_id, &c.telephone, &c.host, &c.history_sample, &c.event_sample})
      *text = Profile::read_back(*text);
    if (!marks.settings_saved) marks.settings_saved = std::make_unique<IdentityUpdate>(identity_of(parts.settings));
    // The new identity addresses the message's later lines at once.
    set_identity(c, parts.settings);
    marks.config = std::make_unique<IdentityUpdate>(c);
    marks.settings_unsaved = std::make_unique<IdentityUpdate>(std::move(c));
    marks.config_line = marks.line;
  } catch (...) {
    // A line without its items is reported as ever and acknowledged: sent
    // again, it would fail again.
    set_config_error(parts.control);
  }
  // The history files are emptied after every SET_CONFIG, whatever became of it.
  marks.history_due = true;
}

void handle_set_id(ConfigParts parts, const Items& items, MessageMarks& marks) {
  if (!marks.sensor_list_cleared) {
    marks.sensor_list_cleared = true;
    parts.table.clear_sensor_list(marks.lines);  // all rows cleared, one empty row left
  }
  parts.control.reset_panels();
  try {
    // Checked before the grid changes, so a short line leaves no half row.
    // Cells go into sensor.con one row a line: no line breaks in them.
    SensorTable::Row row;
    row[col::kPortId] = without_line_breaks(item(items, 4));
    const auto type_io = trim_copy(without_line_breaks(item(items, 5)));
    row[col::kPortType] = type_io.substr(0, 1);
    row[col::kIO] = type_io.size() > 1 ? type_io.substr(1, 1) : std::string();
    row[col::kEnabled] = without_line_breaks(item(items, 6));
    int last = col::kEnabled;
    for (std::size_t k = 7; k < items.size() && k - 2 < row.size(); ++k, ++last)
      row[k - 2] = without_line_breaks(items[k]);
    parts.table.add_sensor(row, last);
  } catch (...) {
    parts.log.log("Error : Set ID Error!");
  }
  marks.list_changed = marks.list_unsaved = true;
  marks.list_line = marks.line;
}

void handle_delete_id(ConfigParts parts, const Items& items, MessageMarks& marks) {
  parts.control.reset_panels();
  try {
    parts.table.delete_sensor(trim_copy(without_line_breaks(item(items, 4))));  // as SET_ID stored it
  } catch (...) {
    parts.log.log("Error : Delete ID Error!");
  }
  marks.list_changed = marks.list_unsaved = true;
  marks.list_line = marks.line;
}

void finish_memory(ConfigParts parts, MessageMarks& marks) {
  // In the order of their latest lines, as line-by-line work would leave
  // the timers and the data mode.
  if (marks.config && (!marks.list_changed || marks.config_line < marks.list_line)) finish_config(parts, marks);
  if (marks.list_changed) finish_list(parts, marks);
  if (marks.config) finish_config(parts, marks);
}

void finish_sensor_file(ConfigParts parts, MessageMarks& marks, bool staged) {
  if (!marks.list_unsaved) return;
  marks.list_unsaved = false;
  if (!staged) {
    parts.table.save_sensor_list();
    return;
  }
  parts.table.stage_sensor_list();
  marks.list_staged = true;
}

void commit_staged_files(ConfigParts parts, MessageMarks& marks) {
  if (std::exchange(marks.list_staged, false)) parts.table.commit_sensor_list();
}

void finish_settings_file(ConfigParts parts, MessageMarks& marks) { save_settings(parts, marks); }

void finish_history(ConfigParts parts, MessageMarks& marks) {
  if (!std::exchange(marks.history_due, false) || marks.history_clean) return;
  empty_history_files(parts.dir);
  marks.history_clean = true;
}

void finish_auto_start(ConfigParts parts, MessageMarks& marks) {
  if (!marks.auto_start) return;
  const auto text = std::move(*marks.auto_start);
  marks.auto_start.reset();
  parts.control.write_auto_start(text);
}

void finish_all(ConfigParts parts, MessageMarks& marks) {
  finish_memory(parts, marks);
  finish_settings_file(parts, marks);
  finish_history(parts, marks);
  finish_auto_start(parts, marks);
  finish_sensor_file(parts, marks);
}

void handle_read_config(const StationSettings& settings, const ChannelTable& table, Realtime& replies,
                        const Request& request) {
  const auto& word = item(request.items, 0);
  const auto& ref = item(request.items, 1);
  const auto fac = trim(settings.factory_id);
  const auto sen = trim(settings.sensor_id);
  auto reply = ReplyWriter::answering(request.header);
  reply.line(word, " ", ref, " ", fac, " ", sen, " ", settings.telephone, " ", settings.history_sample.text, " ",
             settings.event_sample.text, " ");
  for (int r = 1; r < table.sensors().row_count(); ++r) {
    const auto& row = table.sensors().row(r);
    if (trim(row[col::kPortId]).empty()) continue;  // no sensor on this row
    reply.open_line("READ_ID ", ref, " ", fac, " ", fac, sen, " ", row[col::kPortId], " ", row[col::kPortType],
                    row[col::kIO], " ", row[col::kEnabled], " ");
    for (int c = col::kLower; c < limits::kGridColumns; ++c) {
      const auto cell = trim(row[static_cast<std::size_t>(c)]);
      if (cell.empty()) break;
      reply.add(cell, " ");
    }
    reply.add(' ').close_line();
  }
  send_reply(replies, request, std::move(reply).end());
}

}  // namespace orvane
