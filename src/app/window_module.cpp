// The entry points of orvane-emulator-ui.so, looked up by name with dlsym.
#include "app/window_module.hpp"

#include "ui/window_app.hpp"

#include <type_traits>

extern "C" {

__attribute__((visibility("default"))) extern const char orvane_emulator_ui_version[] = ORVANE_VERSION;

__attribute__((visibility("default"))) int orvane_emulator_run_window(int argc, char** argv, orvane::Station& station,
                                                                      orvane::OperatorLog& log, bool show,
                                                                      orvane::ui::WindowQuit& quit) {
  return orvane::ui::run_window(argc, argv, station, log, show, quit);
}

}  // extern "C"

static_assert(std::is_same_v<decltype(orvane_emulator_run_window), orvane::app::RunWindowFn>);
