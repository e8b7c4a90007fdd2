// Command-line checks made from the parsers the programs use anyway: a
// value is taken when the parser takes it, refused with the parser's reason.
#pragma once
#include <exception>
#include <functional>
#include <string>

namespace orvane::app {

template <class Parse>
std::function<std::string(const std::string&)> parsed_by(Parse parse) {
  return [parse](const std::string& value) {
    try {
      parse(value);
      return std::string();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  };
}

}  // namespace orvane::app
