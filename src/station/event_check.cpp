// Event detection: channel values against thresholds and last states.
#include "station/station.hpp"

namespace orvane {

void Station::prime_event_state(int) {}

void Station::timer_eventTimer() {}

}  // namespace orvane
