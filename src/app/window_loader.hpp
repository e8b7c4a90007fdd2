// Finds and loads the window module for a windowed start.
#pragma once
#include "app/window_module.hpp"

namespace orvane::app {

// Loads the module and returns its run_window. Throws std::runtime_error
// saying why the window is not available.
RunWindowFn* load_window_module();

}  // namespace orvane::app
