#include "core/event_log_line.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"

#include <cstdlib>

namespace orvane {
namespace {

// Appends the fields joined by blanks; false (nothing appended) when there
// is no field to write.
bool append(std::string& out, std::string_view event_line, bool scale_last) {
  if (trim(event_line).empty()) return false;
  CommaItems items(event_line);
  std::string item;
  if (!items.next(item)) return false;
  std::size_t last = out.size();  // where the last field starts in `out`
  out += item;
  while (items.next(item)) {
    out += ' ';
    last = out.size();
    out += item;
  }
  if (scale_last) {
    const auto v = strict_int(std::string_view(out).substr(last));
    out.resize(last);
    out += v ? hundredths_text(*v) : "0.0";
  }
  return true;
}

std::optional<std::string> build(std::string_view event_line, bool scale_last) {
  std::string out;
  if (!append(out, event_line, scale_last)) return std::nullopt;
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

bool append_event_log_line(std::string& out, std::string_view event_line) { return append(out, event_line, true); }

bool append_raw_event_log_line(std::string& out, std::string_view event_line) {
  return append(out, event_line, false);
}

}  // namespace orvane
