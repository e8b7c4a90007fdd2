// The control API's bearer token, read from a file named on the command
// line or in a fleet file.
#pragma once
#include <string>

namespace orvane::http {

// The file's first line without trailing blanks. Throws std::runtime_error
// with the reason when it can't serve as a token.
std::string read_token_file(const std::string& path);

}  // namespace orvane::http
