// The read cycle: at each read tick the enabled modules are polled through
// the acquisition, and once the last read is in their readings become the
// channels' values. A silent module costs the station thread only a timer.
#pragma once
#include "station/acquisition.hpp"

#include <vector>

namespace orvane {

class ChannelTable;
class OperatorLog;
struct StationSettings;

class ReadCycle {
 public:
  ReadCycle(Acquisition& acquisition, ChannelTable& table, const StationSettings& settings, OperatorLog& log)
      : acquisition_(acquisition), table_(table), settings_(settings), log_(log) {}
  ReadCycle(const ReadCycle&) = delete;
  ReadCycle& operator=(const ReadCycle&) = delete;

  // Opens the device line the settings name; logs why it can't.
  bool open_line();
  // A read tick. One cycle at a time: a tick while the modules are still
  // being read is skipped. A bad module address is thrown once the modules
  // before it are applied.
  void on_tick();

 private:
  void apply(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads);

  Acquisition& acquisition_;
  ChannelTable& table_;
  const StationSettings& settings_;
  OperatorLog& log_;
};

}  // namespace orvane
