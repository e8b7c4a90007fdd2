#include "station/event_log_files.hpp"

#include "core/event_log_line.hpp"
#include "core/text_file.hpp"
#include "station/station_files.hpp"

namespace orvane {

void write_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line) {
  if (auto line = event_log_line(event_line)) append_line(station_files::event_log_file(dir, now), *line);
}

void write_raw_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line) {
  if (auto line = raw_event_log_line(event_line)) append_line(station_files::raw_event_log_file(dir, now), *line);
}

}  // namespace orvane
