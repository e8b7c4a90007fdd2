// last.con: the channel values saved each minute and restored at start-up.
#include "station/station.hpp"

namespace orvane {

void Station::restore_last_values() {}

void Station::save_last_values() {}

void Station::clockMinuteChange(LocalTime, LocalTime) { save_last_values(); }

}  // namespace orvane
