// Command lines of the protocol: the item splitter (the comma-text rule on
// the trimmed line) and the ENQ-separated sub-fields of a remote command.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Items of a command line: trimmed of characters 0..32, then cut by the
// comma-text rule (blanks and commas separate, double quotes group).
std::vector<std::string> split_command_line(std::string_view line);
// The same into `items`, whose strings are reused.
void split_command_line(std::string_view line, std::vector<std::string>& items);

// A command line's items, kept with the line they came from: hosts send the
// same line again and again (the same poll), and a line equal to the one
// before is not split again. Its strings are reused for the next line.
class SplitLine {
 public:
  const std::vector<std::string>& split(std::string_view line);
  // After a big line: its storage is given back rather than kept.
  void release_large();

 private:
  static constexpr std::size_t kKeptLineBytes = 256;
  static constexpr std::size_t kKeptItems = 32;
  std::vector<std::string> items_;
  std::string source_;
  bool valid_ = false;
  bool large_ = false;  // items_ holds more than kKeptItems or a string over kKeptLineBytes
};

// Sub-fields of a DO_COMMAND argument, cut at each ENQ byte. An ENQ at the
// very end closes the last field rather than opening an empty one, so a file
// text sent as "line ENQ line ENQ" (the form RCFG replies in) has two lines.
std::vector<std::string> split_subfields(std::string_view text);

}  // namespace orvane
