#include "platform/clock.hpp"

#include <cstdint>
#include <ctime>

namespace orvane {

namespace {
// The cache word: the second (since the epoch) in the high bits, its zone
// offset in seconds (biased to be positive) in the low ones; 0 = empty.
constexpr int kOffsetBits = 20;
constexpr std::int64_t kOffsetBias = std::int64_t{1} << (kOffsetBits - 1);
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
}  // namespace

LocalTime SystemClock::now() const {
  using namespace std::chrono;
  const auto ms_total = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms_total >= 0 ? ms_total / 1000 : (ms_total - 999) / 1000);
  const auto ms = ms_total - static_cast<std::int64_t>(secs) * 1000;
  std::int64_t offset = 0;
  const std::uint64_t cached = offset_of_second_.load(std::memory_order_relaxed);
  if (secs >= 0 && cached != 0 && static_cast<std::int64_t>(cached >> kOffsetBits) == secs) {
    offset = static_cast<std::int64_t>(cached & kOffsetMask) - kOffsetBias;
  } else {
    std::tm tm{};
    localtime_r(&secs, &tm);
    offset = tm.tm_gmtoff;
    if (secs >= 0 && offset > -kOffsetBias && offset < kOffsetBias)
      offset_of_second_.store(
          (static_cast<std::uint64_t>(secs) << kOffsetBits) | static_cast<std::uint64_t>(offset + kOffsetBias),
          std::memory_order_relaxed);
  }
  return LocalTime(milliseconds((static_cast<std::int64_t>(secs) + offset) * 1000 + ms));
}

}  // namespace orvane
