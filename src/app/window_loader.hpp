// Finds and loads the window module for a windowed start.
#pragma once
#include "app/window_module.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace orvane::app {

// Where the module may be, in order: beside the executable (a build tree),
// then <prefix>/lib/orvane-emulator/ for an executable in <prefix>/bin.
std::vector<std::filesystem::path> window_module_candidates(const std::filesystem::path& executable);

// Loads the module and returns its run_window. Throws std::runtime_error
// saying why the window is not available.
RunWindowFn* load_window_module();

}  // namespace orvane::app
