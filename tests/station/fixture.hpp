// A Station on its own io_context with a manual clock and test doubles.
#pragma once
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <memory>

namespace orvane::test {

struct StationFixture {
  TempDir dir;
  asio::io_context ioc;
  ManualClock clock{make_local_time(2006, 12, 7, 12, 30)};
  MemoryFlag flag;
  RecordingPower power;
  OperatorLog log{ioc};
  std::unique_ptr<Station> station;

  StationFixture() {
    std::filesystem::create_directory(dir / "log");
    std::filesystem::create_directory(dir / "history");
  }
  Station& make(CommandListener* listener = nullptr) {
    station = std::make_unique<Station>(ioc, log, StationDeps{clock, flag, power, listener}, dir.path());
    return *station;
  }
  std::vector<std::string> memo() const { return {log.memo().begin(), log.memo().end()}; }
  bool logged(const std::string& line) const {
    for (const auto& l : log.memo())
      if (l == line) return true;
    return false;
  }
};

}  // namespace orvane::test
