// DeviceLine over a real serial device (a tty, a USB adapter or a pty),
// speaking DCON. COM port N is /dev/ttyS{N-1} unless mapped otherwise.
#pragma once
#include "device/device_line.hpp"

#include <map>
#include <string>

namespace orvane {

// COM port number -> device path overrides (`--com N=PATH`).
using ComPortMap = std::map<int, std::string>;

// The device path of COM port `port`: the override when there is one, else
// /dev/ttyS{port-1}. Empty for ports below 1 without an override.
std::string com_port_path(int port, const ComPortMap& overrides);

// Opens the serial device at `path` for DCON at `baud`, 8N1, raw and
// non-blocking; on success (0) `fd` holds the new descriptor, else the result
// code says why (Port Error, Baud Rate Error) and `fd` is left alone.
int open_serial_device(const std::string& path, int baud, int& fd);

// Parses "N=PATH" (N a positive integer, PATH not empty). Throws
// std::invalid_argument.
std::pair<int, std::string> parse_com_mapping(const std::string& text);

class SerialDeviceLine final : public DeviceLine {
 public:
  explicit SerialDeviceLine(ComPortMap overrides = {}) : overrides_(std::move(overrides)) {}
  ~SerialDeviceLine() override;
  SerialDeviceLine(const SerialDeviceLine&) = delete;
  SerialDeviceLine& operator=(const SerialDeviceLine&) = delete;

  int open(int port, int baud) override;
  int read_module(int address, bool checksum, std::chrono::milliseconds timeout, AnalogReadings& area) override;

  bool is_open() const { return fd_ >= 0; }
  void close();

 private:
  ComPortMap overrides_;
  int fd_ = -1;
};

}  // namespace orvane
