// Comma-text: the one rule by which command lines, configuration lines and
// event lines are cut into items, and by which sensor rows are written back.
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Splits text into items. Leading characters 1..32 are skipped; an item that
// starts with a double quote runs to the closing quote (two quotes inside
// stand for one); any other item runs up to the first character 0..32 or a
// comma. After an item, blanks and one comma (with blanks after it) are
// skipped. A NUL character ends the text.
std::vector<std::string> split_comma_text(std::string_view text);

// The same items one at a time, for a caller that uses each as it comes
// (no list, and one buffer for all of them).
class CommaItems {
 public:
  explicit CommaItems(std::string_view text);
  // The next item into `item` (its old content replaced); false when none is left.
  bool next(std::string& item);

 private:
  std::string_view text_;
  std::size_t p_ = 0;
};

// Quotes a cell when it holds a character 0..32, a double quote or a comma
// (inner quotes doubled); an empty cell stays empty.
std::string quote_comma_cell(std::string_view cell);

// Joins cells with commas, each quoted as quote_comma_cell does.
std::string join_comma_text(const std::vector<std::string>& cells);
// The same written at `out`, which has comma_text_room(cells) bytes (every
// cell quoted, its quotes doubled); returns where it ends.
std::size_t comma_text_room(std::span<const std::string> cells);
char* write_comma_text(char* out, std::span<const std::string> cells);
// The length join_comma_text would give.
std::size_t comma_text_size(std::span<const std::string> cells);

// Removes leading and trailing characters 0..32 (blanks and control
// characters), as the station's Trim does.
inline std::string_view trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return text.substr(b, e - b);
}
std::string trim_copy(std::string_view text);

// CR and LF become blanks. Items the station keeps (identity, telephone,
// host, port ids, bounds, thresholds, intervals) go into line-based files
// and event lines: one line break in one would split them.
std::string without_line_breaks(std::string_view text);

// Control characters shown as escapes (\r, \n, \t, \xNN), for a log text
// that quotes what a host sent: one line of the log stays one line.
std::string with_controls_escaped(std::string_view text);

}  // namespace orvane
