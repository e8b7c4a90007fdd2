// The station's window, run on the calling (window) thread while the station
// thread runs the io_context.
#pragma once
#include "station/operator_log.hpp"
#include "station/station.hpp"
#include "ui/window_quit.hpp"

#include <functional>

namespace orvane::ui {

// Runs the Qt application until Exit. `quit` is bound to the window loop
// while it runs, so SIGTERM / SIGINT can end it from the station thread.
int run_window(int argc, char** argv, Station& station, OperatorLog& log, bool show, WindowQuit& quit);

}  // namespace orvane::ui
