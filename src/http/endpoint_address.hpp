// Where the endpoint listens: --http ADDR:PORT, :PORT or PORT (loopback).
#pragma once
#include <string>

namespace orvane::http {

struct EndpointAddress {
  std::string address = "127.0.0.1";  // an IPv4 or IPv6 literal
  unsigned short port = 0;  // 0: any free port
  bool loopback() const;
};

// Throws std::invalid_argument with the reason. An IPv6 address is written
// in brackets: [::1]:8080.
EndpointAddress parse_endpoint_address(const std::string& text);

}  // namespace orvane::http
