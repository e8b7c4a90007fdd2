#include "platform/clock.hpp"

#include <cstdint>
#include <ctime>

namespace orvane {

LocalTime SystemClock::now() const {
  using namespace std::chrono;
  const auto ms_total = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms_total >= 0 ? ms_total / 1000 : (ms_total - 999) / 1000);
  const auto ms = static_cast<int>(ms_total - static_cast<std::int64_t>(secs) * 1000);
  // The time zone conversion is done once per second and thread: every
  // reply to a host asks the time, and the conversion takes the zone lock.
  thread_local std::time_t cached_secs = -1;
  thread_local LocalTime cached_second{};
  if (secs != cached_secs) {
    std::tm tm{};
    localtime_r(&secs, &tm);
    cached_second = make_local_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    cached_secs = secs;
  }
  return cached_second + milliseconds(ms);
}

}  // namespace orvane
