// The read cycle: readings of the analog modules become channel values.
#include "station/station.hpp"

namespace orvane {

bool Station::open_device_line() {
  // The device line comes with real-data acquisition.
  return false;
}

void Station::timer_randomTimer() {}

}  // namespace orvane
