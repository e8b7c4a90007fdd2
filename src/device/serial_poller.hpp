// ModulePoller over a real serial device (a tty, a USB adapter or a pty):
// DCON requests written and replies read through an asio::serial_port, each
// module's time-out a steady timer, all on the io_context the poller is
// given. A module that never answers costs that thread only a timer.
#pragma once
#include "device/module_poller.hpp"
#include "device/serial_line.hpp"

#include <asio/io_context.hpp>

#include <memory>

namespace orvane {

// Every call is made on the thread that runs the io_context.
class SerialModulePoller final : public ModulePoller {
 public:
  explicit SerialModulePoller(asio::io_context& ioc, ComPortMap overrides = {});
  // Closes the device; the handlers still queued find the poll ended.
  ~SerialModulePoller() override;
  SerialModulePoller(const SerialModulePoller&) = delete;
  SerialModulePoller& operator=(const SerialModulePoller&) = delete;

  int open(int port, int baud) override;
  void read_modules(std::vector<int> addresses, ModuleReadOptions options, AnalogReadings area, Done done) override;
  void cancel() override;

  bool is_open() const;
  bool polling() const;

 private:
  struct Line;
  ComPortMap overrides_;
  std::shared_ptr<Line> line_;
};

}  // namespace orvane
