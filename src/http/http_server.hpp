// The endpoint's sockets: a libmicrohttpd daemon on threads of its own that
// hands each whole request to the router. libmicrohttpd because it is a
// small, long-maintained C library in Debian that bounds what clients may
// take by itself: connections at once (MHD_OPTION_CONNECTION_LIMIT), memory
// per connection (MHD_OPTION_CONNECTION_MEMORY_LIMIT), idle time
// (MHD_OPTION_CONNECTION_TIMEOUT), and it runs its own epoll threads, so no
// HTTP client ever waits on, or makes wait, a station's thread.
#pragma once
#include "http/endpoint_address.hpp"
#include "http/router.hpp"

struct MHD_Daemon;

namespace orvane::http {

class HttpServer {
 public:
  // Listens at once; throws std::runtime_error when the address can't be
  // bound. The router must outlive the server.
  HttpServer(const EndpointAddress& where, const Router& router);
  ~HttpServer();  // closes the socket and waits for the requests in hand
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  unsigned short port() const { return port_; }

 private:
  const Router& router_;
  MHD_Daemon* daemon_ = nullptr;
  unsigned short port_ = 0;
};

}  // namespace orvane::http
