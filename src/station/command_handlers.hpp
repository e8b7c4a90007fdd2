// The command handlers the dispatcher calls, and what they share. Internal
// to the station layer.
#pragma once
#include "platform/clock.hpp"
#include "station/connection.hpp"
#include "station/settings.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class ChannelTable;
class OperatorLog;
class ReadDataReply;
class Realtime;
class StationControl;
using Items = std::vector<std::string>;

// Item k of a command line; a missing item fails the handler.
const std::string& item(const Items& items, std::size_t k);

// Per-message marks of the dispatcher, and the work SET_ID, DELETE_ID and
// SET_CONFIG leave for later: done once per message however many lines
// asked for it, with the result line-by-line work would leave.
struct MessageMarks {
  bool ack_due = false;
  bool sensor_list_cleared = false;
  bool do_command_seen = false;
  bool config_failed = false;  // a SET_CONFIG was not saved: no ACK, the host retries
  int line = 0;  // the line being dispatched
  // Sensor list changed: links and labels due (since line list_line), and
  // sensor.con due.
  bool list_changed = false;
  bool list_unsaved = false;
  int list_line = 0;
  // The latest SET_CONFIG's items (since line config_line), and the
  // identity and settings from before the message's first one, restored
  // when emulate.ini can't be written.
  // (Held apart: most messages have none, and a message's marks are made
  // for every message.)
  std::unique_ptr<IdentityUpdate> config;
  std::unique_ptr<IdentityUpdate> config_before;
  int config_line = 0;

  // Whether finish_list_and_config has anything to do.
  bool work_left() const { return list_changed || list_unsaved || config != nullptr; }
};

// One command line of a message, as its handler sees it.
struct Request {
  std::string_view header;  // line 0 of the message, repeated in the reply
  const Items& items;  // the command line's items, item 0 the command word
  const std::shared_ptr<Connection>& connection;
  MessageMarks& marks;
};

// What SET_CONFIG, SET_ID and DELETE_ID (and the work they leave for the
// end of the message) change.
struct ConfigParts {
  StationSettings& settings;
  ChannelTable& table;
  StationControl& control;
  OperatorLog& log;
  const std::filesystem::path& dir;  // emulate.ini, sensor.con, history/
};

// What DO_COMMAND's sub-commands work on.
struct RemoteParts {
  StationControl& control;
  const std::filesystem::path& dir;  // the files RCFG and SCFG name, history/
};

// Configuration and identity. SET_CONFIG, SET_ID and DELETE_ID change the
// station's memory at once and leave the rest to finish_list_and_config.
void handle_set_config(ConfigParts parts, const Items& items, MessageMarks& marks);
void handle_set_id(ConfigParts parts, const Items& items, MessageMarks& marks);
void handle_delete_id(ConfigParts parts, const Items& items, MessageMarks& marks);
// Does the work left pending, before a line that would see it and at the
// end of the message. Links, labels and the whole SET_CONFIG (emulate.ini,
// intervals, start, history emptied) every time; sensor.con only `with_files`
// (the list is saved once, unless a line reads or writes files first).
void finish_list_and_config(ConfigParts parts, MessageMarks& marks, bool with_files);
void handle_read_config(const StationSettings& settings, const ChannelTable& table, Realtime& replies,
                        const Request& request);
void handle_do_command(RemoteParts parts, Realtime& replies, const Request& request);

// Data and realtime. Replies go through `replies`, which ends the realtime
// subscriptions of a connection whose send fails.
void handle_read_data(ReadDataReply& memo, const Clock& clock, const ChannelTable& table, Realtime& replies,
                      const Request& request);
void handle_set_value(const Clock& clock, ChannelTable& table, Realtime& replies, const Request& request);
void handle_begin_realtime(Realtime& realtime, const Request& request);

// History.
void handle_read_history(const std::filesystem::path& dir, const Clock& clock, OperatorLog& log, Realtime& replies,
                         const Request& request);
// Empties history/1.his .. history/31.his where they exist.
void empty_history_files(const std::filesystem::path& dir);

// A file name sent by the host, resolved inside the station directory:
// relative names only, never leaving the directory (through ".." or a
// symbolic link). Nothing when the name is refused.
std::optional<std::filesystem::path> resolve_station_file(const std::filesystem::path& station_dir,
                                                          std::string_view name);

}  // namespace orvane
