// READ_HISTORY: one day of the hourly history files, or the serial number;
// and the emptying of the 31 files (CHT, SET_CONFIG).
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"
#include "core/text_file.hpp"
#include "station/command_dispatch.hpp"
#include "station/command_handlers.hpp"
#include "station/operator_log.hpp"
#include "station/station_files.hpp"

#include <fmt/format.h>

namespace orvane {

void empty_history_files(const std::filesystem::path& dir) {
  for (int day = 1; day <= station_files::kHistoryDays; ++day) {
    const auto path = station_files::history_file(dir, day);
    std::error_code ec;
    // The station never creates history files of its own accord here: a
    // day without a file has nothing to empty, nor has an empty file.
    if (std::filesystem::exists(path, ec) && std::filesystem::file_size(path, ec) != 0) write_file_atomic(path, "");
  }
}

void handle_read_history(const std::filesystem::path& dir, const Clock& clock, OperatorLog& log, Realtime& replies,
                         const Request& request) {
  const auto& items = request.items;
  const int day = to_int_or_throw(trim(item(items, 4)));
  auto reply = ReplyWriter::answering(request.header);
  reply.open_line();
  if (day == -1) {
    reply.add(" READ_SN ", item(items, 1), " ", item(items, 2), " ", item(items, 3), " SN IS ");
  } else {
    reply.add(" ", item(items, 0), " ", item(items, 1), " ", item(items, 2), " ", item(items, 3), " ", item(items, 4),
              "\r\n");
    const auto lines = read_lines_if_exists(station_files::history_file(dir, day));
    if (!lines.empty()) {
      std::size_t first = 0;
      std::string date;
      if (trim(lines.front()).size() == 6) {
        date = trim_copy(lines.front());
        first = 1;
      } else {
        date = stamp_yyyymm(clock.now());
      }
      date += fmt::format("{:02}", day);
      for (std::size_t i = first; i < lines.size(); ++i) {
        for (const auto& entry : split_comma_text(lines[i])) {
          if (trim(entry).empty()) continue;
          reply.add(date, " ", entry, "\r\n");
        }
      }
    }
  }
  reply.close_line();
  log.log("Emulator :Read History");
  send_reply(replies, request, std::move(reply).end());
}

}  // namespace orvane
