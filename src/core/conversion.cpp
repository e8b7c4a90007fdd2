#include "core/conversion.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace orvane {
namespace {

// Span of the raw range in 64 bits, so extreme settings cannot overflow.
std::optional<double> span(RawRange r) {
  const std::int64_t s = std::int64_t{r.max_val} - std::int64_t{r.min_val};
  if (s == 0) return std::nullopt;
  return static_cast<double>(s);
}

std::optional<std::int64_t> rounded(double v) {
  // Beyond +-2^62 the value has no sensible integer text; treat as a failed
  // conversion rather than overflow.
  constexpr double kLimit = 4.6e18;
  if (!std::isfinite(v) || v > kLimit || v < -kLimit) return std::nullopt;
  return round_half_even(v);
}

}  // namespace

double clamp_reading(double x, RawRange range) {
  if (x < range.min_val) x = range.min_val;
  if (x > range.max_val) x = range.max_val;
  return x;
}

std::int64_t round_half_even(double v) {
  // nearbyint follows the default rounding mode, which is to nearest, ties
  // to even; the station never changes it.
  return static_cast<std::int64_t>(std::nearbyint(v));
}

std::optional<std::int64_t> full_scale_value(double raw, RawRange range) {
  const auto s = span(range);
  if (!s || std::isnan(raw)) return std::nullopt;
  const double x = clamp_reading(raw, range);
  return rounded((x - range.min_val) * 10000.0 / *s);
}

std::optional<std::int64_t> range_value(double raw, RawRange range, std::int64_t lower, std::int64_t upper) {
  const auto s = span(range);
  if (!s || std::isnan(raw)) return std::nullopt;
  const double x = clamp_reading(raw, range);
  const double p = (x - range.min_val) * 100.0 / *s;
  const auto step = rounded(static_cast<double>(upper - lower) * p / 100.0);
  if (!step) return std::nullopt;
  return lower + *step;
}

std::optional<double> parse_decimal(std::string_view text) {
  auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Only plain decimal notation: from_chars alone would also take "nan",
  // "inf" and "infinity".
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.'))
    return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return negative ? -v : v;
}

std::string general_text(double v) {
  if (v == 0) return "0";  // also -0
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string reading_text(double v) { return fmt::format("{:6.5f}", v); }

}  // namespace orvane
