// Realtime reports to the subscribed hosts.
#include "station/station.hpp"

namespace orvane {

void Station::Timer1Timer() {
  // No subscribers yet: the realtime tick ends itself.
  apply_sampling_intervals();
  Timer1.set_enabled(false);
}

}  // namespace orvane
