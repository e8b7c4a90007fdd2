// Where orvane-emulator finds the modules it loads on demand.
#pragma once
#include <filesystem>
#include <string_view>
#include <vector>

namespace orvane::app {

// Where the module file may be, in order: beside the executable (a build
// tree), then <prefix>/lib/orvane-emulator/ for an executable in <prefix>/bin.
std::vector<std::filesystem::path> module_candidates(const std::filesystem::path& executable, std::string_view file);

// The first of the running program's candidates that exists. Throws
// std::runtime_error saying where it looked.
std::filesystem::path find_module(std::string_view file);

// dlopen with RTLD_NOW (a module that does not fit fails here, naming the
// missing symbol); checks its version string `version_symbol` against this
// build's and returns the handle, which is never closed. Throws
// std::runtime_error.
void* open_module(const std::filesystem::path& module, const char* version_symbol, std::string_view what);

}  // namespace orvane::app
