// The boundary between orvane-emulator and its HTTP module
// (orvane-emulator-http.so): libmicrohttpd and the TLS libraries it brings
// are mapped only by a station started with --http.
#pragma once
#include "http/http_server.hpp"

#include <memory>

namespace orvane::app {

// Starts the module's server (throws std::runtime_error when it can't listen).
using StartHttpFn = http::HttpServer*(const http::EndpointAddress& where, http::RequestHandler handler);

inline constexpr const char* kHttpModuleFile = "orvane-emulator-http.so";
inline constexpr const char* kStartHttpSymbol = "orvane_emulator_start_http";
// The server is deleted by the executable through its table, so only a
// module of the same build version is taken.
inline constexpr const char* kHttpVersionSymbol = "orvane_emulator_http_version";

// Loads the module and starts its server. Throws std::runtime_error.
std::unique_ptr<http::HttpServer> start_http_endpoint(const http::EndpointAddress& where, http::RequestHandler handler);

}  // namespace orvane::app
