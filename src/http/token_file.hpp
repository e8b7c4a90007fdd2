// The control API's bearer token, read from a file named on the command
// line or in a fleet file.
#pragma once
#include "http/endpoint_address.hpp"

#include <string>

namespace orvane::http {

// The file's first line without trailing blanks. Throws std::runtime_error
// with the reason when it can't serve as a token.
std::string read_token_file(const std::string& path);

// Where the endpoint listens and the token its control API asks for, as a
// program's settings name them (`address_key`, `token_key`: the names the
// reasons use). Throws std::runtime_error with the reason: a token file
// that can't serve, or an address off loopback without one (anyone who
// reaches the port could steer the stations).
struct EndpointSettings {
  EndpointAddress address;
  std::string token;  // empty: none asked
};
EndpointSettings endpoint_settings(const std::string& address, const std::string& token_file,
                                   const std::string& address_key, const std::string& token_key);

}  // namespace orvane::http
