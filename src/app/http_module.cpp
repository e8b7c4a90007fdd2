// The entry points of orvane-emulator-http.so, looked up by name with dlsym.
#include "app/http_module.hpp"

#include <type_traits>

extern "C" {

__attribute__((visibility("default"))) extern const char orvane_emulator_http_version[] = ORVANE_VERSION;

__attribute__((visibility("default"))) orvane::http::HttpServer* orvane_emulator_start_http(
    const orvane::http::EndpointAddress& where, orvane::http::RequestHandler handler) {
  return orvane::http::start_http_server(where, std::move(handler)).release();
}

}  // extern "C"

static_assert(std::is_same_v<decltype(orvane_emulator_start_http), orvane::app::StartHttpFn>);
