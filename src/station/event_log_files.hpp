// Writing the two daily event log files (see station_files.hpp).
#pragma once
#include "core/local_time.hpp"

#include <filesystem>
#include <string_view>

namespace orvane {

// Appends the event line's log form to the day's file (chosen by `now`).
// Nothing is written for a blank line. The log folder is never created: a
// missing folder or a failed write throws std::system_error to the caller.
void write_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line);
void write_raw_event_log(const std::filesystem::path& dir, LocalTime now, std::string_view event_line);

}  // namespace orvane
