#include "core/event_record.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/reply_writer.hpp"

namespace orvane {

std::int64_t event_state(bool digital, std::int64_t value, const std::array<std::string_view, 8>& thresholds) {
  if (digital) return value;
  std::int64_t level = 1;
  for (const auto cell : thresholds) {
    const auto text = trim(cell);
    if (text.empty()) break;
    if (leading_int(text, 0) > value) return level;
    ++level;
  }
  return level;
}

std::string event_line(char kind, std::string_view stamp, std::string_view facid, std::string_view sensorid,
                       std::string_view port_id, std::string_view value) {
  // A message of its own: SOH, no header, one line, EOT.
  auto line = ReplyWriter::answering("");
  line.line("EVENT", kind, ' ', stamp, ' ', facid, ' ', facid, sensorid, ' ', port_id, " IS ", value);
  return std::move(line).end();
}

}  // namespace orvane
