#include "core/command_line.hpp"

#include "core/comma_text.hpp"
#include "core/protocol.hpp"

namespace orvane {

std::vector<std::string> split_command_line(std::string_view line) { return split_comma_text(trim(line)); }

std::vector<std::string> split_subfields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t b = 0;
  while (b <= text.size()) {
    const auto e = text.find(proto::ENQ, b);
    if (e == std::string_view::npos) {
      if (b < text.size() || fields.empty()) fields.emplace_back(text.substr(b));
      break;
    }
    fields.emplace_back(text.substr(b, e - b));
    b = e + 1;
  }
  return fields;
}

}  // namespace orvane
