// Faults an operator injects into a running station to see how it and its
// hosts cope: simulated modules that stay silent or answer wrongly, and (by
// the same representation) an uplink or a command port that misbehave. Each
// station keeps its own set; whatever part of the station a fault concerns
// reads it from there, and the station's views show it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

enum class FaultTarget { module, uplink, port };

struct InjectedFault {
  FaultTarget target = FaultTarget::module;
  // module: silent, garbage, badsum, error, delayed; uplink: refusing,
  // black_hole, slow; port: delay_replies, close_connections
  std::string kind;
  int module = -1;  // a module fault's bus address; -1: every module of the line
  int delay_ms = 0;  // delayed, delay_replies
  std::int64_t bytes_per_s = 0;  // slow

  // A module's reply fault and its delay are two places: a module may be
  // both late and wrong; so are a port's two kinds; any other fault has one
  // place per target and module.
  bool same_place(const InjectedFault& other) const;
};

class FaultSet {
 public:
  // Takes the place of the fault at the same place; a fault of every
  // module also ends the same kind of fault of single modules.
  void set(InjectedFault fault);
  // Ends the faults of `target` (none: every fault); the faults ended.
  std::vector<InjectedFault> clear(std::optional<FaultTarget> target);
  const std::vector<InjectedFault>& items() const { return faults_; }
  bool empty() const { return faults_.empty(); }

 private:
  std::vector<InjectedFault> faults_;
};

const char* fault_target_name(FaultTarget target);
// "module 01 silent", "every module delayed 300 ms", as an answer lists it.
std::string describe_fault(const InjectedFault& fault);

}  // namespace orvane
