// SET_CONFIG, SET_ID, DELETE_ID and READ_CONFIG: the host sets and reads the
// station's identity, settings and sensor list.
#include "core/comma_text.hpp"
#include "core/reply_writer.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"
#include "station/station_files.hpp"

namespace orvane {

void handle_set_config(Station& st, const Items& items) {
  try {
    const IdentityUpdate update{item(items, 2), item(items, 3), item(items, 4),
                                item(items, 5), item(items, 6), item(items, 7)};
    apply_identity(st.file(station_files::kSettings), update, st.settings);
    st.apply_sampling_intervals();
    st.configured_flag().set();
    st.set_clock_active(true);
    st.start_reading();
  } catch (...) {
    if (st.commands.show_set_config_error) {
      st.commands.show_set_config_error("Set Config Error!");
    } else {
      st.alert_operator("Set Config Error!");  // a message box in the window, a log line headless
    }
  }
}

void handle_set_id(Station& st, const Items& items, MessageMarks& marks) {
  if (!marks.sensor_list_cleared) {
    marks.sensor_list_cleared = true;
    st.grid_sensor = SensorGrid();  // all rows cleared, one empty row left
    st.reset_panels();
  }
  try {
    st.reset_panels();
    // Checked before the grid changes, so a short line leaves no half row.
    const auto& port = item(items, 4);
    const auto type_io = trim_copy(item(items, 5));
    const auto& enabled = item(items, 6);
    const int last = st.grid_sensor.row_count() - 1;
    if (last < 1 || !trim(st.grid_sensor.cell(last, col::kPortId)).empty()) st.grid_sensor.add_row();
    auto& row = st.grid_sensor.row(st.grid_sensor.row_count() - 1);
    row[col::kPortId] = port;
    row[col::kPortType] = type_io.substr(0, 1);
    row[col::kIO] = type_io.size() > 1 ? type_io.substr(1, 1) : std::string();
    row[col::kEnabled] = enabled;
    for (std::size_t k = 7; k < items.size() && k - 2 < row.size(); ++k) row[k - 2] = items[k];
  } catch (...) {
    st.log("Error : Set ID Error!");
  }
  st.save_sensor_list();
  st.link_channels();
  st.refresh_labels();
}

void handle_delete_id(Station& st, const Items& items) {
  st.reset_panels();
  try {
    const auto id = trim(item(items, 4));
    for (int r = 1; r < st.grid_sensor.row_count(); ++r) {
      if (st.grid_sensor.cell(r, col::kPortId) != id) continue;
      if (st.grid_sensor.row_count() == 2) {
        st.grid_sensor.row(r) = SensorGrid::Row{};
      } else {
        st.grid_sensor.delete_row(r);
      }
      break;
    }
  } catch (...) {
    st.log("Error : Delete ID Error!");
  }
  st.save_sensor_list();
  // Rows below a deleted one move up: the channel records follow them.
  st.link_channels();
  st.refresh_labels();
}

void handle_read_config(Station& st, const Request& request) {
  const auto& word = item(request.items, 0);
  const auto& ref = item(request.items, 1);
  const auto& settings = st.settings;
  const auto fac = trim(settings.factory_id);
  const auto sen = trim(settings.sensor_id);
  auto reply = ReplyWriter::answering(request.header);
  reply.line(word, " ", ref, " ", fac, " ", sen, " ", settings.telephone, " ", settings.history_sample.text, " ",
             settings.event_sample.text, " ");
  for (int r = 1; r < st.grid_sensor.row_count(); ++r) {
    const auto& row = st.grid_sensor.row(r);
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
  send_reply(st, *request.connection, std::move(reply).end());
}

}  // namespace orvane
