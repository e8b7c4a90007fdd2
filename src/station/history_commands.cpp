// READ_HISTORY: one day of the hourly history files, or the serial number;
// and the emptying of the 31 files (CHT, SET_CONFIG).
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/protocol.hpp"
#include "core/text_file.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/station.hpp"

#include <fmt/format.h>

namespace orvane {

void empty_history_files(Station& st) {
  for (int day = 1; day <= 31; ++day) {
    const auto path = st.dir() / "history" / (std::to_string(day) + ".his");
    std::error_code ec;
    // The station never creates history files of its own accord here: a
    // day without a file has nothing to empty.
    if (std::filesystem::exists(path, ec)) write_file_atomic(path, "");
  }
}

void handle_read_history(Station& st, std::string_view header, const Items& items, Connection& conn) {
  const int day = to_int_or_throw(trim(item(items, 4)));
  std::string reply;
  reply += proto::SOH;
  reply += header;
  reply += proto::STX;
  if (day == -1) {
    reply.append(" READ_SN ").append(item(items, 1)).append(" ").append(item(items, 2)).append(" ");
    reply.append(item(items, 3)).append(" SN IS ");
  } else {
    reply.append(" ").append(item(items, 0)).append(" ").append(item(items, 1)).append(" ");
    reply.append(item(items, 2)).append(" ").append(item(items, 3)).append(" ").append(item(items, 4));
    reply += "\r\n";
    const auto lines = read_lines_if_exists(st.dir() / "history" / (std::to_string(day) + ".his"));
    if (!lines.empty()) {
      std::size_t first = 0;
      std::string date;
      if (trim(lines.front()).size() == 6) {
        date = trim_copy(lines.front());
        first = 1;
      } else {
        date = stamp_yyyymm(st.now());
      }
      date += fmt::format("{:02}", day);
      for (std::size_t i = first; i < lines.size(); ++i) {
        for (const auto& entry : split_comma_text(lines[i])) {
          if (trim(entry).empty()) continue;
          reply.append(date).append(" ").append(entry).append("\r\n");
        }
      }
    }
  }
  reply += proto::ETX;
  reply += proto::EOT;
  st.log("Emulator :Read History");
  send_reply(st, conn, reply);
}

}  // namespace orvane
