#include "core/command_line.hpp"

#include "core/comma_text.hpp"
#include "core/protocol.hpp"

#include <cstring>

namespace orvane {

// The comma-text rule, written for speed: every request line of every host
// goes through here. Its results equal split_comma_text(trim(line)).
std::vector<std::string> split_command_line(std::string_view line) {
  line = trim(line);
  if (const auto nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
  const char* p = line.data();
  const char* const end = p + line.size();
  auto separator = [](char c) { return static_cast<unsigned char>(c) <= 32 || c == ','; };
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::vector<std::string> items;
  items.reserve(8);
  while (p < end) {
    if (*p == '"') {
      ++p;
      std::string& item = items.emplace_back();
      for (;;) {
        const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
        if (!q) {
          item.append(p, end);
          p = end;
          break;
        }
        item.append(p, q);
        p = q + 1;
        if (p < end && *p == '"') {
          item += '"';
          ++p;
          continue;
        }
        break;
      }
    } else {
      const char* start = p;
      while (p < end && !separator(*p)) ++p;
      items.emplace_back(start, p);
    }
    while (p < end && blank(*p)) ++p;
    if (p < end && *p == ',') {
      ++p;
      while (p < end && blank(*p)) ++p;
    }
  }
  return items;
}

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
