// The station's asynchronous view of the RS-485 line: open a COM port, then
// read the eight analog inputs of a list of modules one after another
// without making the calling thread wait for them. The readings come back as
// one completion on the io_context once the last module has answered or
// timed out. Tests substitute doubles for the serial implementation.
#pragma once
#include "device/dcon.hpp"

#include <chrono>
#include <functional>
#include <vector>

namespace orvane {

// How modules are asked: with or without DCON checksums, and how long one
// module may take to answer.
struct ModuleReadOptions {
  bool checksum = false;
  std::chrono::milliseconds timeout{200};
};

// The outcome of one module's read: its result code and the result area
// after it. The area carries over from read to read (and poll to poll): a
// failed read leaves it as the read before left it.
struct ModuleRead {
  int code = 0;
  AnalogReadings area{};
  bool operator==(const ModuleRead&) const = default;
};

class ModulePoller {
 public:
  using Done = std::function<void(std::vector<ModuleRead>)>;
  virtual ~ModulePoller() = default;

  // Opens (or reopens) COM port `port` at `baud`, 8N1, raw. 0 on success,
  // else a result code. A poll still running is cancelled first.
  virtual int open(int port, int baud) = 0;

  // Reads the modules at `addresses` (0..15) in order, starting from the
  // result area `area`; `done` then gets one ModuleRead per address, in the
  // same order. `done` always runs later on the poller's io_context, never
  // inside this call, and never after cancel() or the poller's end. One
  // poll at a time: the caller waits for `done` before the next.
  virtual void read_modules(std::vector<int> addresses, ModuleReadOptions options, AnalogReadings area, Done done) = 0;

  // Ends a running poll at once; its `done` is dropped uncalled.
  virtual void cancel() = 0;
};

}  // namespace orvane
