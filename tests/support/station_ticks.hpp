// The station's timer and clock handlers, run directly: for the benchmarks
// and fuzz targets, which measure or exercise one handler without its timer.
// Tests move time on instead (StationTest::advance).
#pragma once
#include "station/station.hpp"

namespace orvane {

class StationTicks {
 public:
  static bool open_device_line(Station& s) { return s.open_device_line(); }  // as the start does
  static void read(Station& s) { s.on_read_tick(); }
  static void event(Station& s) { s.on_event_tick(); }
  static void history(Station& s) { s.on_history_tick(); }
  static void realtime(Station& s) { s.on_realtime_tick(); }
  static void minute_change(Station& s, LocalTime last, LocalTime now) { s.on_minute_change(last, now); }
};

}  // namespace orvane
