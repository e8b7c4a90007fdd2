// Event records: the level of a value against a channel's thresholds and the
// framed event line the station buffers and uploads.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// The event state of one channel. Digital: the value itself. Analog: the
// level 1..9 from the threshold cells (Threshold 1..8) in order; the scan
// stops at the first blank cell, and the first threshold above the value
// decides, so a value equal to a threshold belongs to the level above.
std::int64_t event_state(bool digital, std::int64_t value, const std::array<std::string_view, 8>& thresholds);

// SOH STX "EVENT" kind " " stamp " " facid " " facid+sensorid " " port_id " IS " value ETX EOT
std::string event_line(char kind, std::string_view stamp, std::string_view facid, std::string_view sensorid,
                       std::string_view port_id, std::string_view value);

}  // namespace orvane
