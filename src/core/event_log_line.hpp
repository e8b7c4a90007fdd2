// Lines of the two daily event log files, built from an event line.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// The event log file's line: the event line's comma-text fields joined by
// single blanks, the last field (an integer in hundredths) written as "#0.0"
// to the nearest tenth, or "0.0" when it is not an integer. Nothing for a
// line of blanks and control characters only.
std::optional<std::string> event_log_line(std::string_view event_line);

// The raw event log file's line: the same, with the last field unchanged.
std::optional<std::string> raw_event_log_line(std::string_view event_line);

// The same, appended to `out`; false (nothing appended) for a blank line.
bool append_event_log_line(std::string& out, std::string_view event_line);
bool append_raw_event_log_line(std::string& out, std::string_view event_line);

// v / 100 in "#0.0": 1234 -> "12.3", 5 -> "0.1", -250 -> "-2.5".
std::string hundredths_text(long long v);

}  // namespace orvane
