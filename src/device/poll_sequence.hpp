// One poll's bookkeeping, shared by the module pollers: the modules to read
// in order, the result area the reads carry over, the reads so far, and a
// step that tells a handler of an ended read (or poll) from a current one.
#pragma once
#include "device/module_poller.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace orvane {

struct PollSequence {
  std::uint64_t step = 0;
  std::vector<int> addresses;
  ModuleReadOptions options;
  AnalogReadings area{};
  ModulePoller::Done done;
  std::vector<ModuleRead> results;

  // A new poll; one still running is ended first.
  void begin(std::vector<int> to_read, ModuleReadOptions read_options, AnalogReadings start_area,
             ModulePoller::Done on_done) {
    end();
    options = read_options;
    area = start_area;
    done = std::move(on_done);
    addresses = std::move(to_read);
  }
  // Ends the poll: its `done` is dropped, its handlers find the step moved on.
  void end() {
    ++step;
    done = nullptr;
    addresses.clear();
    results.clear();
  }
  // The module to read next.
  int next_address() const { return addresses[results.size()]; }
  // When every module is read: the poll ends and `done` gets the reads
  // (true). Otherwise false: the next module is due.
  bool finish() {
    if (results.size() < addresses.size()) return false;
    auto finished = std::move(done);
    auto reads = std::move(results);
    end();
    if (finished) finished(std::move(reads));
    return true;
  }
  // One module's read has ended with `code`: its handlers still pending are
  // stale from here on.
  void record(int code) {
    ++step;
    results.push_back({code, area});
  }
};

}  // namespace orvane
