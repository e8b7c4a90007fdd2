#include "core/local_time.hpp"

#include <fmt/format.h>

namespace orvane {

CivilTime civil(LocalTime t) {
  using namespace std::chrono;
  const auto day_point = floor<days>(t);
  const year_month_day ymd{day_point};
  const hh_mm_ss<milliseconds> hms{t - day_point};
  CivilTime c;
  c.year = static_cast<int>(ymd.year());
  c.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  c.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  c.hour = static_cast<int>(hms.hours().count());
  c.minute = static_cast<int>(hms.minutes().count());
  c.second = static_cast<int>(hms.seconds().count());
  c.millisecond = static_cast<int>(hms.subseconds().count());
  return c;
}

LocalTime make_local_time(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  using namespace std::chrono;
  const local_days d{std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
                     std::chrono::day{static_cast<unsigned>(day)}};
  return LocalTime{d} + hours{hour} + minutes{minute} + seconds{second} + milliseconds{millisecond};
}

std::string stamp_yyyymmddhhnn(LocalTime t) {
  const auto c = civil(t);
  if (c.year < 0 || c.year > 9999)
    return fmt::format("{:04}{:02}{:02}{:02}{:02}", c.year, c.month, c.day, c.hour, c.minute);
  // Every reply carries this stamp: written digit by digit, no formatting.
  char text[12];
  const auto put = [&text](int at, int value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
  };
  put(0, c.year, 4);
  put(4, c.month, 2);
  put(6, c.day, 2);
  put(8, c.hour, 2);
  put(10, c.minute, 2);
  return std::string(text, sizeof text);
}

std::string stamp_yyyymmdd(LocalTime t) {
  const auto c = civil(t);
  return fmt::format("{:04}{:02}{:02}", c.year, c.month, c.day);
}

std::string stamp_yyyymm(LocalTime t) {
  const auto c = civil(t);
  return fmt::format("{:04}{:02}", c.year, c.month);
}

std::string stamp_hh_nn_ss(LocalTime t) {
  const auto c = civil(t);
  return fmt::format("{:02}:{:02}:{:02}", c.hour, c.minute, c.second);
}

std::string stamp_hhnnsszzz(LocalTime t) {
  const auto c = civil(t);
  return fmt::format("{:02}{:02}{:02}{:03}", c.hour, c.minute, c.second, c.millisecond);
}

}  // namespace orvane
