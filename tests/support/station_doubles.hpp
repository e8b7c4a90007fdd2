// Doubles of the station's platform collaborators shared by the test programs.
#pragma once
#include "device/device_line.hpp"
#include "device/result_codes.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"

#include <map>
#include <vector>

namespace orvane::test {

// The configured flag, in memory.
class MemoryFlag : public ConfiguredFlag {
 public:
  explicit MemoryFlag(bool initially = false) : value(initially) {}
  bool value;
  bool is_set() const override { return value; }
  void set() override { value = true; }
};

// A station that has been configured once.
class SetFlag final : public MemoryFlag {
 public:
  SetFlag() : MemoryFlag(true) {}
};

// Power requests recorded instead of carried out.
class RecordingPower : public PowerControl {
 public:
  std::vector<PowerAction> requests;
  bool result = true;
  bool request(PowerAction a) override {
    requests.push_back(a);
    return result;
  }
};

// A power control that refuses every request (and keeps nothing, so it
// can serve long benchmark and fuzz runs).
class NoPower final : public PowerControl {
 public:
  bool request(PowerAction) override { return false; }
};

// A device line that answers from a table and records what was asked. It
// opens unless told otherwise; a module not in the table times out.
class ScriptedDeviceLine final : public DeviceLine {
 public:
  int open_code = 0;
  std::map<int, AnalogReadings> modules;  // address -> readings
  std::map<int, int> codes;               // address -> result code
  std::vector<int> asked;
  int opened = 0;

  int open(int, int) override {
    ++opened;
    return open_code;
  }
  int read_module(int address, bool, std::chrono::milliseconds, AnalogReadings& area) override {
    asked.push_back(address);
    if (auto it = codes.find(address); it != codes.end() && it->second != 0) return it->second;
    if (auto it = modules.find(address); it != modules.end()) {
      area = it->second;
      return 0;
    }
    return rc::kTimeOut;
  }
};

}  // namespace orvane::test
