// The station's window, run on the calling (window) thread while the station
// thread runs the io_context.
#pragma once
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include <functional>

namespace orvane::ui {

// Runs the Qt application until Exit. `quit` is set to a function that ends
// the window loop from any thread (used by SIGTERM / SIGINT).
int run_window(int argc, char** argv, Station& station, OperatorLog& log, bool show,
               std::function<void()>& quit);

}  // namespace orvane::ui
