// The window's view of the station, taken on the station thread.
#include "station/snapshot.hpp"

#include "core/comma_text.hpp"
#include "station/station.hpp"

namespace orvane {

StationSnapshot Station::snapshot(std::uint64_t memo_seen) const {
  StationSnapshot s;
  const auto& sensor_table = table_.sensors();
  for (int n = 1; n <= limits::kChannels; ++n) {
    const auto& p = table_.panel(n);
    auto& v = s.panels[static_cast<std::size_t>(n - 1)];
    v.label = p.label;
    v.value = p.value;
    v.shown = p.shown;
    v.event_state = p.event_state;
    if (n < sensor_table.row_count()) {
      const auto& row = sensor_table.row(n);
      v.port_id = trim_copy(row[col::kPortId]);
      v.has_sensor = !v.port_id.empty();
      v.enabled = trim(row[col::kEnabled]) == "Y";
      v.digital = trim(row[col::kPortType]) == "D";
      for (int c = col::kThreshold1; c <= col::kThreshold8 && !trim(row[static_cast<std::size_t>(c)]).empty(); ++c)
        ++v.thresholds;
    }
  }
  s.data_mode = sampling_.mode();
  s.settings = settings_;
  s.events_buffered = events_.buffer().size();
  s.realtime_subscribers = realtime_.subscribers().size();
  s.dial_online = events_.dial_online();
  s.station_dir = dir_.string();

  const auto& memo = log_.memo();
  s.memo_total = log_.appended();
  const std::uint64_t wanted = s.memo_total > memo_seen ? s.memo_total - memo_seen : 0;
  const std::size_t take = wanted < memo.size() ? static_cast<std::size_t>(wanted) : memo.size();
  s.memo_complete = wanted <= memo.size();
  s.memo_new.assign(memo.end() - static_cast<std::ptrdiff_t>(take), memo.end());
  return s;
}

}  // namespace orvane
