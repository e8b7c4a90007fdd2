// The endpoint's sockets: a libmicrohttpd daemon on threads of its own that
// hands each whole request to a handler (the router). libmicrohttpd because
// it is a small, long-maintained C library in Debian that bounds what
// clients may take by itself: connections at once
// (MHD_OPTION_CONNECTION_LIMIT), memory per connection
// (MHD_OPTION_CONNECTION_MEMORY_LIMIT), idle time
// (MHD_OPTION_CONNECTION_TIMEOUT), and it runs its own epoll threads, so no
// HTTP client ever waits on, or makes wait, a station's thread.
//
// It is built into the module orvane-emulator-http.so, loaded only when the
// endpoint is asked for: libmicrohttpd brings GnuTLS and its companions
// (about 2.5 MiB resident) that a station without --http need not map.
#pragma once
#include "http/endpoint_address.hpp"
#include "http/http_types.hpp"

#include <functional>
#include <memory>

namespace orvane::http {

// Runs on the endpoint's threads, several at once.
using RequestHandler = std::function<Response(const Request&)>;

class HttpServer {
 public:
  virtual ~HttpServer() = default;  // closes the socket and waits for the requests in hand
  virtual unsigned short port() const = 0;
};

// Listens at once; throws std::runtime_error when the address can't be bound.
std::unique_ptr<HttpServer> start_http_server(const EndpointAddress& where, RequestHandler handler);

}  // namespace orvane::http
