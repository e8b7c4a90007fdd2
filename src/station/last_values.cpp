// last.con: the channel values saved each minute and restored at start-up.
#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/text_file.hpp"
#include "station/channel_table.hpp"
#include "station/station_files.hpp"

namespace orvane {
namespace {

// Only a..z change: the file has always held Port IDs upper-cased this way.
std::string upper_ascii(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && upper_ascii(a) == upper_ascii(b);
}

}  // namespace

void ChannelTable::restore_last_values() {
  const auto path = file(station_files::kLastValues);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  std::vector<std::string> lines;
  try {
    lines = read_lines(path);
  } catch (const std::exception& e) {
    // An unreadable file must not end the start-up sequence before reading starts.
    log(std::string("Error : ") + e.what());
    return;
  }
  log("Emualtor  : load " + int_text(static_cast<std::int64_t>(lines.size())));
  for (const auto& line : lines) {
    const auto items = split_comma_text(line);
    if (items.size() < 2) {
      log("error");
      continue;
    }
    const auto id = trim(items[0]);
    for (int r = 0; r < sensors_.row_count(); ++r) {
      if (!equal_ignoring_case(sensors_.cell(r, col::kPortId), id)) continue;
      // The first match decides; the header row and rows beyond the panels
      // have no value box to restore into.
      if (has_panel(r)) {
        panel(r).value = trim_copy(items[1]);
        prime_event_state(r);
      }
      break;
    }
  }
}

void ChannelTable::save_last_values() {
  std::vector<std::string> lines;
  for (int r = 1; r < sensors_.row_count() && has_panel(r); ++r)
    lines.push_back(upper_ascii(trim(sensors_.cell(r, col::kPortId))) + "," + panel(r).value);
  write_lines_atomic(file(station_files::kLastValues), lines);
}

}  // namespace orvane
