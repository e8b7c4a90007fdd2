// What the window shows of the station, copied on the station thread so the
// window never reads station state. Plain values, no UI types.
#pragma once
#include "core/limits.hpp"
#include "station/sampling.hpp"
#include "station/settings.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// One channel panel pnl_N with what its colour depends on.
struct PanelSnapshot {
  std::string label = "None";
  std::string port_id;  // the grid row's whole Port ID (label holds five characters)
  std::string value = "0";  // value_N
  std::string shown = "0";  // mask_N, the value as shown
  int event_state = 0;  // value_N's tag: level (analog) or last state (digital)
  bool has_sensor = false;  // the grid row names a Port ID
  bool enabled = false;  // the grid row's Enabled cell is "Y"
  bool digital = false;  // the grid row's Port Type is "D"
  int thresholds = 0;  // thresholds set before the first empty one
};

struct StationSnapshot {
  std::array<PanelSnapshot, limits::kChannels> panels;  // panels[N-1] is pnl_N
  DataMode data_mode = DataMode::stopped;
  StationSettings settings;  // the identity and settings as the station holds them
  std::size_t events_buffered = 0;
  std::size_t realtime_subscribers = 0;
  bool dial_online = false;
  // Memo lines logged after the count the window asked from; memo_total is
  // the count of lines ever logged, so the window can ask for the rest next.
  std::vector<std::string> memo_new;
  std::uint64_t memo_total = 0;
  bool memo_complete = true;  // false when older new lines had already left the memo
  std::string station_dir;
};

}  // namespace orvane
