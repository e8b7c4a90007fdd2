#include "app/http_module.hpp"
#include "app/module_path.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace orvane::app {

std::unique_ptr<http::HttpServer> start_http_endpoint(const http::EndpointAddress& where,
                                                      http::RequestHandler handler) {
  void* module = open_module(find_module(kHttpModuleFile), kHttpVersionSymbol, "the HTTP module of orvane-emulator");
  auto* start = reinterpret_cast<StartHttpFn*>(::dlsym(module, kStartHttpSymbol));
  if (start == nullptr) throw std::runtime_error(std::string(kHttpModuleFile) + " has no HTTP server");
  return std::unique_ptr<http::HttpServer>(start(where, std::move(handler)));
}

}  // namespace orvane::app
