#include "platform/clock.hpp"

#include <ctime>

namespace orvane {

LocalTime SystemClock::now() const {
  using namespace std::chrono;
  const auto t = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()) % 1000;
  return make_local_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                         static_cast<int>(ms.count() < 0 ? ms.count() + 1000 : ms.count()));
}

}  // namespace orvane
