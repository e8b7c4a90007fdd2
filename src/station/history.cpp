// Hourly history: sampling and the line of each hour.
#include "station/station.hpp"

namespace orvane {

void Station::timer_historyTimer() {}

void Station::clockHourChange(LocalTime, LocalTime) {}

}  // namespace orvane
