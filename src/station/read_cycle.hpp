// The read cycle: at each read tick the enabled modules are polled through
// the acquisition, and once the last read is in their readings become the
// channels' values. A silent module costs the station thread only a timer.
#pragma once
#include "platform/steady_time.hpp"
#include "station/acquisition.hpp"
#include "station/station_counters.hpp"

#include <cstdint>
#include <map>

#include <vector>

namespace orvane {

class ChannelTable;
class OperatorLog;
struct StationSettings;

class ReadCycle {
 public:
  // `steady` times the cycles, from the tick to the readings applied.
  ReadCycle(Acquisition& acquisition, ChannelTable& table, const StationSettings& settings, OperatorLog& log,
            SteadyTime& steady)
      : acquisition_(acquisition), table_(table), settings_(settings), log_(log), steady_(steady) {}
  ReadCycle(const ReadCycle&) = delete;
  ReadCycle& operator=(const ReadCycle&) = delete;

  // Opens the device line the settings name; logs why it can't.
  bool open_line();
  // A read tick. One cycle at a time: a tick while the modules are still
  // being read is skipped. A bad module address is thrown once the modules
  // before it are applied.
  void on_tick();

  // Module reads since start by result code, and the cycles' durations.
  const std::map<int, std::uint64_t>& module_reads() const { return module_reads_; }
  const DurationHistogram& cycle_seconds() const { return cycle_seconds_; }

 private:
  void apply(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads);

  Acquisition& acquisition_;
  ChannelTable& table_;
  const StationSettings& settings_;
  OperatorLog& log_;
  SteadyTime& steady_;
  std::map<int, std::uint64_t> module_reads_;
  DurationHistogram cycle_seconds_;
};

}  // namespace orvane
