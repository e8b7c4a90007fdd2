#include "core/event_record.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"

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
  std::string line;
  line.reserve(32 + stamp.size() + 2 * facid.size() + sensorid.size() + port_id.size() + value.size());
  line += "\x01\x02" "EVENT";
  line += kind;
  line += ' ';
  line += stamp;
  line += ' ';
  line += facid;
  line += ' ';
  line += facid;
  line += sensorid;
  line += ' ';
  line += port_id;
  line += " IS ";
  line += value;
  line += "\x03\x04";
  return line;
}

}  // namespace orvane
