// The station's view of the RS-485 line to the I-7000 modules: open a COM
// port at a baud rate, read the eight analog inputs of the module at an
// address. Both report a result code (result_codes.hpp); tests substitute
// doubles for the serial implementation.
#pragma once
#include "device/dcon.hpp"

#include <chrono>

namespace orvane {

class DeviceLine {
 public:
  virtual ~DeviceLine() = default;

  // Opens (or reopens) COM port `port` at `baud`, 8N1, raw. 0 on success.
  virtual int open(int port, int baud) = 0;

  // Reads all eight inputs of the module at `address` (0..15). `area` is
  // written only when the result is 0, so after a failure it holds what it
  // held before. Never blocks much longer than `timeout`.
  virtual int read_module(int address, bool checksum, std::chrono::milliseconds timeout, AnalogReadings& area) = 0;
};

}  // namespace orvane
