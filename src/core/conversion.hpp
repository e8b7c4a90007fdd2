// Conversions of raw module readings into channel values, and the texts the
// read cycle writes. Pure functions: the raw range (MinVal..MaxVal) and the
// sensor's bounds come in as arguments.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// The raw range from emulate.ini [ConvertData].
struct RawRange {
  int min_val = 0;
  int max_val = 20;
};

// x held within min_val..max_val (lower end checked first, as the station
// always has).
double clamp_reading(double x, RawRange range);

// round((x - min) * 10000 / (max - min)) on the clamped reading: 0..10000.
// Nothing when max == min or the reading is not a number.
std::optional<std::int64_t> full_scale_value(double raw, RawRange range);

// lower + round((upper - lower) * p / 100), p the clamped reading's percent of
// the raw range. Nothing when max == min or the reading is not a number.
std::optional<std::int64_t> range_value(double raw, RawRange range, std::int64_t lower, std::int64_t upper);

// Both conversions round halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
std::int64_t round_half_even(double v);

// A decimal number text (blanks around it allowed, optional sign, digits,
// optional fraction and exponent) as a double; nothing for anything else,
// including "nan", "inf" and hex.
std::optional<double> parse_decimal(std::string_view text);

// The value as mask_N shows it: up to 15 significant digits, no trailing
// zeros ("4.5", "4.12345", "4").
std::string general_text(double v);

// One reading of a module as the read cycle hands it on: "%6.5f".
std::string reading_text(double v);

}  // namespace orvane
