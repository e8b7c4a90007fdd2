// The command handlers the dispatcher calls, and what they share. Internal
// to the station layer.
#pragma once
#include "core/text_file.hpp"
#include "platform/clock.hpp"
#include "station/connection.hpp"
#include "station/settings.hpp"

#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The station directory and the files of it a message's RCFG and SCFG
// lines are compared with, resolved (symbolic links followed): worked out
// once per message that names a file.
struct ResolvedFiles {
  std::filesystem::path root;
  std::vector<std::filesystem::path> kept;  // no host reads or writes these
  std::filesystem::path sensors, settings, auto_start, history;
};

// Per-message marks of the dispatcher, and the work SET_ID, DELETE_ID,
// SET_CONFIG, ENB and DIS leave for later: done once per message however
// many lines asked for it, or before a line that would see it undone, with
// the result line-by-line work would leave.
struct MessageMarks {
  bool ack_due = false;
  bool sensor_list_cleared = false;
  bool do_command_seen = false;
  bool config_failed = false;  // a SET_CONFIG was not saved: no ACK, the host retries
  int line = 0;  // the line being dispatched
  std::size_t lines = 0;  // in the message
  // Sensor list changed: links, labels and the timers its lines held are
  // due (since line list_line), and sensor.con is due.
  bool list_changed = false;
  bool list_unsaved = false;
  bool list_staged = false;  // saved at the message's end, to be committed
  int list_line = 0;
  // The latest SET_CONFIG's items: its intervals, start and clock are due
  // (since line config_line).
  // (Held apart: most messages have none, and a message's marks are made
  // for every message.)
  std::unique_ptr<IdentityUpdate> config;
  int config_line = 0;
  // emulate.ini: the identity it is to hold, and the one it holds (put
  // back in memory when the file can't be written). Once the message has
  // written it, it can be: later SET_CONFIGs are acted on at once and
  // saved at the end of the message.
  std::unique_ptr<IdentityUpdate> settings_unsaved;
  std::unique_ptr<IdentityUpdate> settings_saved;
  bool settings_written = false;
  // The history files: to be emptied (SET_CONFIG), and emptied by this
  // message with nothing written into them since (emptying them again
  // would change nothing).
  bool history_due = false;
  bool history_clean = false;
  // auto.con's first line as ENB or DIS leave it.
  std::optional<std::string> auto_start;
  std::optional<ResolvedFiles> files;
  // Files SCFG replaced, in memory only until the message's end (or until
  // too many are kept, or a line needs them on disk): then written together
  // with one flush, a few per turn of the loop (`writing`), the message's
  // lines waiting. A file named again is replaced in memory again. Every
  // reply to the message's host from the first of them on is held until
  // they are written, so no "Complete" reports a file that isn't there;
  // when one can't be written, the replies from its first SCFG on are
  // dropped and the message fails there.
  struct PendingFile {
    std::filesystem::path path;
    std::string content;
    int first_line;  // its first SCFG since the last write
  };
  std::vector<PendingFile> pending_files;
  std::unordered_map<std::string, std::size_t> pending_index;  // path -> place in pending_files
  PendingFile* pending_file(const std::filesystem::path& path) {
    const auto it = pending_index.find(path.native());
    return it == pending_index.end() ? nullptr : &pending_files[it->second];
  }
  void clear_pending() {
    pending_files.clear();
    pending_index.clear();
  }
  std::unique_ptr<ReplacementBatch> writing;  // of pending_files
  struct HeldReply {
    int line;
    std::string text;
  };
  std::vector<HeldReply> held_replies;
  std::size_t held_bytes = 0;
  bool write_due = false;  // held replies are as much as the host may take: write now
  int replies_dropped_from = std::numeric_limits<int>::max();  // set by a failed write

  // Whether finish_all has anything to do.
  bool work_left() const {
    return list_changed || list_unsaved || config || settings_unsaved || history_due || auto_start;
  }
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

// What DO_COMMAND's sub-commands work on: the configuration parts (for the
// work left pending, and the files RCFG and SCFG name, history/), and the
// files of the station's own that no host may read or write.
struct RemoteParts {
  ConfigParts config;
  std::span<const std::filesystem::path> private_files;
};

// Configuration and identity. SET_CONFIG, SET_ID and DELETE_ID change the
// station's memory at once and leave the rest pending in the marks.
void handle_set_config(ConfigParts parts, const Items& items, MessageMarks& marks);
void handle_set_id(ConfigParts parts, const Items& items, MessageMarks& marks);
void handle_delete_id(ConfigParts parts, const Items& items, MessageMarks& marks);
// The pending work, each part before a line that would see it undone:
// the timers, data mode and clock (links, labels, SET_CONFIG's intervals
// and start, in the order of their latest lines); each file.
void finish_memory(ConfigParts parts, MessageMarks& marks);
// Staged, sensor.con is committed by commit_staged_files a turn later.
void finish_sensor_file(ConfigParts parts, MessageMarks& marks, bool staged = false);
void finish_settings_file(ConfigParts parts, MessageMarks& marks);
void finish_history(ConfigParts parts, MessageMarks& marks);
void finish_auto_start(ConfigParts parts, MessageMarks& marks);
// All of it: at the end of a message (one abandoned too), before a restart.
void finish_all(ConfigParts parts, MessageMarks& marks);
void commit_staged_files(ConfigParts parts, MessageMarks& marks);
// The files SCFG left in memory, written: all at once, or with `budget` a
// step of the work (true once all is done). Throws when they can't be,
// and marks the replies held since the first of them not written as
// dropped.
void write_pending_files(MessageMarks& marks);
bool write_pending_files(MessageMarks& marks, std::size_t budget, const std::function<bool()>& go_on);
// A reply to the line at hand, sent, or held while files it follows are
// pending (`write_due` set once they are as much as the host may take). As
// send_reply to the connection otherwise.
bool send_reply(Realtime& realtime, const Request& request, std::string_view text);
// Sends the held replies, those from a dropped line on excepted.
void release_held_replies(Realtime& realtime, Connection& connection, MessageMarks& marks);
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

// A file name sent by the host, resolved inside the station directory
// (`station_root`, itself resolved): relative names only, never leaving the
// directory (through ".." or a symbolic link). Nothing when the name is
// refused.
std::optional<std::filesystem::path> resolve_station_file(const std::filesystem::path& station_root,
                                                          std::string_view name);

}  // namespace orvane
