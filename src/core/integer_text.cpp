#include "core/integer_text.hpp"

#include "core/limits.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvane {

std::int64_t leading_int(std::string_view text, std::int64_t fallback) {
  std::size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) {
    negative = text[p] == '-';
    ++p;
  }
  if (p >= text.size() || text[p] < '0' || text[p] > '9') return fallback;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    const int digit = text[p] - '0';
    if (value > (kMax - digit) / 10) {
      value = kMax;
      while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

int interval_ms(std::string_view text) {
  std::size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  constexpr std::int64_t kMax = std::numeric_limits<int>::max();
  std::int64_t value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) value = std::min(kMax, value * 10 + (text[p] - '0'));
  return value == 0 ? limits::kDefaultIntervalMs : static_cast<int>(value);
}

std::optional<std::int32_t> strict_int(std::string_view text) {
  std::size_t p = 0;
  while (p < text.size() && text[p] == ' ') ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) {
    negative = text[p] == '-';
    ++p;
  }
  if (p >= text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; p < text.size(); ++p) {
    if (text[p] < '0' || text[p] > '9') return std::nullopt;
    value = value * 10 + (text[p] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::int32_t to_int_or_throw(std::string_view text) {
  if (auto v = strict_int(text)) return *v;
  throw std::invalid_argument("'" + std::string(text) + "' is not a valid integer value");
}

std::string int_text(std::int64_t value) { return std::to_string(value); }

}  // namespace orvane
