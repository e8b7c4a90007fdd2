#include "app/window_loader.hpp"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>

namespace orvane::app {

std::vector<std::filesystem::path> window_module_candidates(const std::filesystem::path& executable) {
  const auto bin_dir = executable.parent_path();
  return {bin_dir / kWindowModuleFile,
          (bin_dir.parent_path() / "lib" / "orvane-emulator" / kWindowModuleFile).lexically_normal()};
}

RunWindowFn* load_window_module() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the program's own path: " + ec.message());

  const auto candidates = window_module_candidates(exe);
  std::filesystem::path module;
  for (const auto& c : candidates) {
    if (std::filesystem::exists(c, ec)) {
      module = c;
      break;
    }
  }
  if (module.empty()) {
    std::string where;
    for (const auto& c : candidates) where += (where.empty() ? "" : " nor ") + c.string();
    throw std::runtime_error(std::string(kWindowModuleFile) + " is not in " + where);
  }

  // RTLD_NOW: a module that does not fit this executable fails here, with
  // the missing symbol named, instead of at its first call.
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(::dlerror());
  // The module stays loaded to the end: Qt does not survive being unloaded.
  const auto* version = static_cast<const char*>(::dlsym(handle, kModuleVersionSymbol));
  auto* run = reinterpret_cast<RunWindowFn*>(::dlsym(handle, kRunWindowSymbol));
  if (version == nullptr || run == nullptr)
    throw std::runtime_error(module.string() + " is not a window module of orvane-emulator");
  if (std::strcmp(version, ORVANE_VERSION) != 0)
    throw std::runtime_error(module.string() + " is of version " + version + ", the program of " +
                             ORVANE_VERSION);
  return run;
}

}  // namespace orvane::app
