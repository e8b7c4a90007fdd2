#include "http/endpoint_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <stdexcept>

namespace orvane::http {

bool EndpointAddress::loopback() const {
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

EndpointAddress parse_endpoint_address(const std::string& text) {
  EndpointAddress out;
  std::string port_text = text;
  const auto colon = text.rfind(':');
  if (colon != std::string::npos) {
    std::string host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!host.empty()) out.address = host;
  }
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535)
    throw std::invalid_argument("\"" + text + "\" is not ADDR:PORT with a port of 0..65535");
  out.port = static_cast<unsigned short>(port);
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, out.address.c_str(), &v4) != 1 && ::inet_pton(AF_INET6, out.address.c_str(), &v6) != 1)
    throw std::invalid_argument("\"" + out.address + "\" is not an IP address");
  return out;
}

}  // namespace orvane::http
