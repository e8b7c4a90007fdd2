// Command lines of the protocol: the item splitter (the comma-text rule on
// the trimmed line) and the ENQ-separated sub-fields of a remote command.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Items of a command line: trimmed of characters 0..32, then cut by the
// comma-text rule (blanks and commas separate, double quotes group).
std::vector<std::string> split_command_line(std::string_view line);
// The same into `items`, whose strings are reused.
void split_command_line(std::string_view line, std::vector<std::string>& items);

// Sub-fields of a DO_COMMAND argument, cut at each ENQ byte. An ENQ at the
// very end closes the last field rather than opening an empty one, so a file
// text sent as "line ENQ line ENQ" (the form RCFG replies in) has two lines.
std::vector<std::string> split_subfields(std::string_view text);

}  // namespace orvane
