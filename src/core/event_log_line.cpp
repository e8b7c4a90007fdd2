#include "core/event_log_line.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"

#include <cstdlib>

namespace orvane {
namespace {

std::optional<std::string> build(std::string_view event_line, bool scale_last) {
  if (trim(event_line).empty()) return std::nullopt;
  auto fields = split_comma_text(event_line);
  if (fields.empty()) return std::nullopt;
  if (scale_last) {
    auto& last = fields.back();
    const auto v = strict_int(last);
    last = v ? hundredths_text(*v) : "0.0";
  }
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ' ';
    out += fields[i];
  }
  return out;
}

}  // namespace

std::string hundredths_text(long long v) {
  // Tenths, halves away from zero.
  const long long tenths = v >= 0 ? (v + 5) / 10 : (v - 5) / 10;
  const long long mag = std::llabs(tenths);
  std::string out = tenths < 0 ? "-" : "";
  out += std::to_string(mag / 10);
  out += '.';
  out += static_cast<char>('0' + mag % 10);
  return out;
}

std::optional<std::string> event_log_line(std::string_view event_line) { return build(event_line, true); }

std::optional<std::string> raw_event_log_line(std::string_view event_line) { return build(event_line, false); }

}  // namespace orvane
