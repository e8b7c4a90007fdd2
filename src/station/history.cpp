// Hourly history: sampling on the history timer and, at each hour change, one
// line of min/max/average per enabled analog channel in the day's file.
#include "core/comma_text.hpp"
#include "core/history_item.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"
#include "core/text_file.hpp"
#include "station/channel_table.hpp"
#include "station/station_files.hpp"

namespace orvane {

void ChannelTable::sample_history() {
  for (auto& ch : channels_) {
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
  for (auto& ch : channels_) {
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
