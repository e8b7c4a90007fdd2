// A TCP port nothing listens on right now, for the station under a
// benchmark (the station refuses port 0).
#pragma once
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

inline int free_port() {
  asio::io_context ioc;
  asio::ip::tcp::acceptor probe(ioc, {asio::ip::tcp::v4(), 0});
  return probe.local_endpoint().port();
}
