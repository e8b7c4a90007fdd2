// What the station keeps for real-data acquisition: the device line it reads
// through and the result area the module reads fill.
#pragma once
#include "device/dcon.hpp"
#include "device/device_line.hpp"
#include "device/serial_line.hpp"

#include <chrono>
#include <memory>

namespace orvane {

class Acquisition {
 public:
  // Without a line of its own the station talks to the machine's serial
  // ports by their default names.
  explicit Acquisition(DeviceLine* line)
      : owned_(line ? nullptr : std::make_unique<SerialDeviceLine>()), line_(line ? line : owned_.get()) {}

  DeviceLine& line() { return *line_; }
  // The eight readings of the last module read; a failed read leaves them
  // as they were, and the station hands them on all the same.
  AnalogReadings area{};

 private:
  std::unique_ptr<DeviceLine> owned_;
  DeviceLine* line_;
};

}  // namespace orvane
