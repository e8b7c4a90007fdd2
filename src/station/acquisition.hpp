// What the station keeps for real-data acquisition: the module poller it
// reads through, the result area the module reads fill, and whether a read
// cycle is out on the line.
#pragma once
#include "device/dcon.hpp"
#include "device/module_poller.hpp"
#include "device/serial_poller.hpp"

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvane {

// One enabled module of a read cycle, as the module list stood when the
// cycle began.
struct CycleModule {
  std::int32_t number = 0;
  bool read = false;  // an analog module: its read is the next of the poll
};

class Acquisition {
 public:
  // Without a poller of its own the station talks to the machine's serial
  // ports by their default names.
  Acquisition(asio::io_context& ioc, ModulePoller* poller)
      : owned_(poller ? nullptr : std::make_unique<SerialModulePoller>(ioc)), poller_(poller ? poller : owned_.get()) {}
  // A poll still running must not call back into a station that is gone.
  ~Acquisition() { cancel(); }
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Opens the line again; a cycle still out on it is dropped.
  int open(int port, int baud) {
    polling_ = false;
    return poller_->open(port, baud);
  }

  // Reads the modules at `addresses`, starting from the result area; `done`
  // gets their reads on the station thread, and the area is left as the
  // last read left it.
  void read(std::vector<int> addresses, ModuleReadOptions options, ModulePoller::Done done) {
    polling_ = true;
    poller_->read_modules(std::move(addresses), options, area_,
                          [this, done = std::move(done)](std::vector<ModuleRead> reads) {
                            polling_ = false;
                            if (!reads.empty()) area_ = reads.back().area;
                            done(std::move(reads));
                          });
  }

  // Drops the cycle out on the line: its reads are never applied.
  void cancel() {
    polling_ = false;
    poller_->cancel();
  }

  bool polling() const { return polling_; }
  // The eight readings of the last module read.
  const AnalogReadings& area() const { return area_; }

 private:
  // The eight readings of the last module read; a failed read leaves them
  // as they were, and the station hands them on all the same.
  AnalogReadings area_{};
  std::unique_ptr<ModulePoller> owned_;
  ModulePoller* poller_;
  bool polling_ = false;
};

}  // namespace orvane
