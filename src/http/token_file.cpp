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

}  // namespace orvane::http
