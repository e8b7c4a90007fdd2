// Integers read from texts, by the station's two rules: the lenient one
// (leading digits, default when none) and the strict one (the whole text).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

// Leading blanks skipped, an optional sign, then decimal digits up to the
// first non-digit. No digits gives `fallback`. Saturates instead of
// overflowing.
std::int64_t leading_int(std::string_view text, std::int64_t fallback = 0);

// A sampling interval in ms from its setting text: leading blanks skipped,
// then the digits up to the first character that is not one (a sign is not a
// digit). No digits or 0 gives the default 1000 ms; at most the largest int.
int interval_ms(std::string_view text);

// The whole text (after leading blanks) must be an optional sign and decimal
// digits that fit in 32 bits; otherwise nothing.
std::optional<std::int32_t> strict_int(std::string_view text);

// strict_int, or throws std::invalid_argument("'<text>' is not a valid integer value").
std::int32_t to_int_or_throw(std::string_view text);

// Decimal text of an integer.
std::string int_text(std::int64_t value);

}  // namespace orvane
