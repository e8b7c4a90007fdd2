#include "http/token_file.hpp"

#include "core/limits.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace orvane::http {

std::string read_token_file(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) throw std::runtime_error(path + " is not a readable file");
  if (std::filesystem::file_size(path, ec) > limits::kHttpTokenFileBytes)
    throw std::runtime_error(path + " is larger than " + std::to_string(limits::kHttpTokenFileBytes) + " bytes");
  std::ifstream in(path);
  std::string token;
  if (!in || !std::getline(in, token)) throw std::runtime_error(path + " cannot be read or is empty");
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t')) token.pop_back();
  if (token.empty()) throw std::runtime_error(path + " holds no token on its first line");
  return token;
}

EndpointSettings endpoint_settings(const std::string& address, const std::string& token_file,
                                   const std::string& address_key, const std::string& token_key) {
  EndpointSettings settings{parse_endpoint_address(address), {}};
  try {
    if (!token_file.empty()) settings.token = read_token_file(token_file);
  } catch (const std::exception& e) {
    throw std::runtime_error(token_key + ": " + e.what());
  }
  if (!settings.address.loopback() && settings.token.empty())
    throw std::runtime_error(address_key + " on " + settings.address.address + " (not loopback) needs " + token_key +
                             " for the control API");
  return settings;
}

}  // namespace orvane::http
