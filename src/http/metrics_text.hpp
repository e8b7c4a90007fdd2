// /metrics: the board's stations in the Prometheus text exposition format
// (version 0.0.4), one `station` label per station.
#pragma once
#include "http/station_board.hpp"

#include <string>
#include <vector>

namespace orvane::http {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

struct MetricsOptions {
  // A fleet's page: per station only the few series a dashboard needs by
  // station, the breakdowns (by command, by result code, the durations'
  // histograms) as fleet totals (orvane_fleet_*) without the label, so
  // 10 000 stations stay a page a scrape takes in well under a second.
  bool fleet = false;
  // orvane_channel_value{station,channel,port_id} for every channel with a sensor.
  bool channels = false;
};

// Stations not yet published are left out.
std::string metrics_text(const std::vector<StationBoard::Entry>& stations, const MetricsOptions& options = {});

}  // namespace orvane::http
