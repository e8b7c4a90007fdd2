#include "app/module_path.hpp"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace orvane::app {

std::vector<std::filesystem::path> module_candidates(const std::filesystem::path& executable, std::string_view file) {
  const auto bin_dir = executable.parent_path();
  return {bin_dir / file, (bin_dir.parent_path() / "lib" / "orvane-emulator" / file).lexically_normal()};
}

std::filesystem::path find_module(std::string_view file) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the program's own path: " + ec.message());
  const auto candidates = module_candidates(exe, file);
  for (const auto& c : candidates)
    if (std::filesystem::exists(c, ec)) return c;
  std::string where;
  for (const auto& c : candidates) where += (where.empty() ? "" : " nor ") + c.string();
  throw std::runtime_error(std::string(file) + " is not in " + where);
}

void* open_module(const std::filesystem::path& module, const char* version_symbol, std::string_view what) {
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(::dlerror());
  const auto* version = static_cast<const char*>(::dlsym(handle, version_symbol));
  if (version == nullptr) throw std::runtime_error(module.string() + " is not " + std::string(what));
  if (std::strcmp(version, ORVANE_VERSION) != 0)
    throw std::runtime_error(module.string() + " is of version " + version + ", the program of " + ORVANE_VERSION);
  return handle;
}

}  // namespace orvane::app
