#include "app/window_loader.hpp"

#include "app/module_path.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace orvane::app {

RunWindowFn* load_window_module() {
  const auto module = find_module(kWindowModuleFile);
  // The module stays loaded to the end: Qt does not survive being unloaded.
  void* handle = open_module(module, kModuleVersionSymbol, "a window module of orvane-emulator");
  auto* run = reinterpret_cast<RunWindowFn*>(::dlsym(handle, kRunWindowSymbol));
  if (run == nullptr) throw std::runtime_error(module.string() + " is not a window module of orvane-emulator");
  return run;
}

}  // namespace orvane::app
