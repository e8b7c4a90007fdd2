// What command handlers may ask of the station as a whole: the data mode,
// the clock, the panels' reset and labels, the configured flag, restart and
// power-off, auto.con and the operator's alert. Each is a step that touches
// several parts at once; `Station` implements it, and a handler that needs
// one of them gets this, not the station.
#pragma once
#include "platform/power_control.hpp"

#include <string>

namespace orvane {

class StationControl {
 public:
  virtual ~StationControl() = default;

  virtual void stop_data() = 0;  // the stop button, STR, STA, DIS
  virtual void start_reading() = 0;  // the read button, ENB, SET_CONFIG
  // The sampling periods from the settings (and the realtime period while
  // realtime runs, if shorter).
  virtual void apply_sampling_intervals() = 0;
  // The 250 ms clock that signals hour and minute changes.
  virtual void set_clock_active(bool active) = 0;
  virtual void reset_panels() = 0;  // also holds the sampling timers
  virtual void refresh_labels() = 0;  // also runs the sampling timers again (see SamplingChange::resume_all)
  virtual void mark_configured() = 0;  // a host has configured the station
  virtual bool restart_or_power_off(PowerAction action) = 0;
  // auto.con's first line := text, when the file is there.
  virtual void write_auto_start(const std::string& text) = 0;
  // Something that wants acknowledging ("Set Config Error!"): a message box
  // when the window is up, the operator log otherwise.
  virtual void alert_operator(const std::string& text) = 0;
};

}  // namespace orvane
