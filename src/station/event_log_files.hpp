// Writing the two daily event log files (see station_files.hpp).
#pragma once
#include "core/local_time.hpp"

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Appends the log form of each event line to the day's file (chosen by
// `now`), all of them in one write, in order. Nothing is written for a
// blank line. The log folder is never created. Returns, per event line, the
// error its log line met ("Cannot open file ..." when the file could not be
// opened, "Cannot write ..." for the lines a failed write did not take in
// whole); empty for a line written or blank.
std::vector<std::string> write_event_logs(const std::filesystem::path& dir, LocalTime now,
                                          std::span<const std::string> event_lines);
std::vector<std::string> write_raw_event_logs(const std::filesystem::path& dir, LocalTime now,
                                              std::span<const std::string> event_lines);

}  // namespace orvane
