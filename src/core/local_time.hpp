// Station time: local wall time as a plain time point, and the stamps the
// station writes ("YYYYMMDDHHNN" and friends), always from a given time.
#pragma once
#include <chrono>
#include <string>

namespace orvane {

using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

CivilTime civil(LocalTime t);
LocalTime make_local_time(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                          int millisecond = 0);

std::string stamp_yyyymmddhhnn(LocalTime t);  // station timestamp
std::string stamp_yyyymmdd(LocalTime t);  // daily log file names
std::string stamp_yyyymm(LocalTime t);  // first line of history files
std::string stamp_hh_nn_ss(LocalTime t);  // "HH:NN:SS"
std::string stamp_hhnnsszzz(LocalTime t);  // uploaded event file names

}  // namespace orvane
