#include "station/event_log_files.hpp"

#include "core/event_log_line.hpp"
#include "core/text_file.hpp"

namespace orvane {

std::filesystem::path event_log_path(const std::filesystem::path& dir, LocalTime now) {
  return dir / "log" / (stamp_yyyymmdd(now) + ".log");
}

std::filesystem::path raw_event_log_path(const std::filesystem::path& dir, LocalTime now) {
  return dir / "log" / ("U" + stamp_yyyymmdd(now) + ".log");
}

void write_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line) {
  if (auto line = event_log_line(event_line)) append_line(event_log_path(dir, now), *line);
}

void write_raw_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line) {
  if (auto line = raw_event_log_line(event_line)) append_line(raw_event_log_path(dir, now), *line);
}

}  // namespace orvane
