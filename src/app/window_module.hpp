// The boundary between orvane-emulator and its window module
// (orvane-emulator-ui.so). The executable knows no Qt: a headless station
// never maps the Qt libraries, and only a windowed start loads the module,
// which takes the station code it calls from the executable itself.
#pragma once
#include "station/operator_log.hpp"
#include "station/station.hpp"
#include "ui/window_quit.hpp"

namespace orvane::app {

// Same contract as orvane::ui::run_window.
using RunWindowFn = int(int argc, char** argv, Station& station, OperatorLog& log, bool show, ui::WindowQuit& quit);

inline constexpr const char* kWindowModuleFile = "orvane-emulator-ui.so";
inline constexpr const char* kRunWindowSymbol = "orvane_emulator_run_window";
// The module shares Station's layout with the executable, so only a module of
// the same build version is taken.
inline constexpr const char* kModuleVersionSymbol = "orvane_emulator_ui_version";

}  // namespace orvane::app
