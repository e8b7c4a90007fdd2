#include "core/injected_faults.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace orvane {

namespace {
bool delay_place(const InjectedFault& f) { return f.target == FaultTarget::module && f.kind == "delayed"; }
}  // namespace

bool InjectedFault::same_place(const InjectedFault& other) const {
  // A port may both delay its replies and close its connections; an uplink
  // misbehaves one way at a time.
  if (target == FaultTarget::port) return other.target == FaultTarget::port && kind == other.kind;
  return target == other.target && module == other.module && delay_place(*this) == delay_place(other);
}

void FaultSet::set(InjectedFault fault) {
  std::erase_if(faults_, [&](const InjectedFault& f) {
    if (fault.same_place(f)) return true;
    return fault.target == FaultTarget::module && fault.module < 0 && f.target == FaultTarget::module &&
           delay_place(f) == delay_place(fault);
  });
  faults_.push_back(std::move(fault));
}

std::vector<InjectedFault> FaultSet::clear(std::optional<FaultTarget> target) {
  std::vector<InjectedFault> ended;
  std::erase_if(faults_, [&](const InjectedFault& f) {
    if (target && f.target != *target) return false;
    ended.push_back(f);
    return true;
  });
  return ended;
}

const char* fault_target_name(FaultTarget target) {
  switch (target) {
    case FaultTarget::module:
      return "module";
    case FaultTarget::uplink:
      return "uplink";
    case FaultTarget::port:
      return "port";
  }
  return "?";
}

std::string describe_fault(const InjectedFault& f) {
  std::string where = fault_target_name(f.target);
  if (f.target == FaultTarget::module) where = f.module < 0 ? "every module" : fmt::format("module {:02X}", f.module);
  std::string text = where + " " + f.kind;
  if (f.kind == "delayed" || f.kind == "delay_replies") text += fmt::format(" {} ms", f.delay_ms);
  if (f.kind == "slow") text += fmt::format(" {} bytes/s", f.bytes_per_s);
  return text;
}

}  // namespace orvane
