// The command handlers the dispatcher calls, and what they share. Internal
// to the station layer.
#pragma once
#include "station/connection.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

class Station;
using Items = std::vector<std::string>;

// Item k of a command line; a missing item fails the handler.
const std::string& item(const Items& items, std::size_t k);

// Per-message marks of the dispatcher.
struct MessageMarks {
  bool ack_due = false;
  bool sensor_list_cleared = false;
  bool do_command_seen = false;
};

// One command line of a message, as its handler sees it.
struct Request {
  std::string_view header;  // line 0 of the message, repeated in the reply
  const Items& items;       // the command line's items, item 0 the command word
  const std::shared_ptr<Connection>& connection;
  MessageMarks& marks;
};

// Configuration and identity.
void handle_set_config(Station& st, const Items& items);
void handle_set_id(Station& st, const Items& items, MessageMarks& marks);
void handle_delete_id(Station& st, const Items& items);
void handle_read_config(Station& st, const Request& request);
void handle_do_command(Station& st, const Request& request);

// Data and realtime.
void handle_read_data(Station& st, const Request& request);
void handle_set_value(Station& st, const Request& request);
void handle_begin_realtime(Station& st, const Request& request);
void handle_end_realtime(Station& st, Connection& conn);
// Ends every subscription served on `conn` (its send failed); the timer
// stops when nobody is left.
void end_realtime_of(Station& st, const Connection& conn);

// History.
void handle_read_history(Station& st, const Request& request);
// Empties history/1.his .. history/31.his where they exist.
void empty_history_files(Station& st);

// A file name sent by the host, resolved inside the station directory:
// relative names only, never leaving the directory (through ".." or a
// symbolic link). Nothing when the name is refused.
std::optional<std::filesystem::path> resolve_station_file(const std::filesystem::path& station_dir,
                                                          std::string_view name);

}  // namespace orvane
