// Doubles of the station's platform collaborators shared by the test programs.
#pragma once
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"

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

}  // namespace orvane::test
