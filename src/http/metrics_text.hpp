// /metrics: the board's stations in the Prometheus text exposition format
// (version 0.0.4), one `station` label per station.
#pragma once
#include "http/station_board.hpp"

#include <string>
#include <vector>

namespace orvane::http {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Stations not yet published are left out.
std::string metrics_text(const std::vector<StationBoard::Entry>& stations);

}  // namespace orvane::http
