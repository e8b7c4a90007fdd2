// ModulePoller over simulated modules in the process: each module is asked
// with the request the DCON client would write and its reply parsed as one
// read from a serial line, so the station sees the same result codes,
// readings and time-outs as from `i7000-sim` over a pty, without a pty or a
// thread. A module that stays silent costs a timer, as on a real line.
#pragma once
#include "device/module_poller.hpp"
#include "device/simulated_modules.hpp"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace orvane {

// Every call is made on the thread that runs the io_context.
class SimulatedModulePoller final : public ModulePoller {
 public:
  // `seconds` tells the modules' time (seconds since they started) to
  // their value sources; by default the steady clock's since construction.
  SimulatedModulePoller(asio::io_context& ioc, SimulatedModules& modules, std::function<double()> seconds = {});
  ~SimulatedModulePoller() override;
  SimulatedModulePoller(const SimulatedModulePoller&) = delete;
  SimulatedModulePoller& operator=(const SimulatedModulePoller&) = delete;

  // Any port opens: the simulated line has no device to miss.
  int open(int port, int baud) override;
  void read_modules(std::vector<int> addresses, ModuleReadOptions options, AnalogReadings area, Done done) override;
  void cancel() override;

 private:
  struct Poll;
  SimulatedModules& modules_;
  std::function<double()> seconds_;
  std::shared_ptr<Poll> poll_;
};

}  // namespace orvane
