#include "station/read_cycle.hpp"

#include "core/conversion.hpp"
#include "core/integer_text.hpp"
#include "device/result_codes.hpp"
#include "station/channel_table.hpp"
#include "station/guarded.hpp"
#include "station/settings.hpp"

#include <exception>
#include <memory>
#include <stdexcept>

namespace orvane {

namespace {

// What a read cycle polls and, once its reads are in, applies: the enabled
// modules in list order up to the first bad address, whose error ends the
// cycle after the modules before it are applied.
struct CyclePlan {
  std::vector<CycleModule> modules;
  std::vector<int> addresses;
  std::exception_ptr error;
};

int module_address(const ModuleRecord& module) {
  if (module.address.empty()) throw std::invalid_argument("'' is not a valid module address");
  return dcon_address(module.address.front());
}

CyclePlan plan_cycle(const std::vector<ModuleRecord>& modules) {
  CyclePlan plan;
  for (const auto& module : modules) {
    if (!module.enabled) continue;
    CycleModule m{module.number, module.kind == "A"};
    if (m.read) {
      try {
        plan.addresses.push_back(module_address(module));
      } catch (const std::exception&) {
        plan.error = std::current_exception();  // nothing of this module is sent
        break;
      }
    }
    plan.modules.push_back(m);
  }
  return plan;
}

}  // namespace

bool ReadCycle::open_line() {
  const int code = acquisition_.open(settings_.com_port, settings_.baud_rate);
  if (code == rc::kNoError) return true;
  log_.log("OPEN_COM Error Code:" + int_text(code) + "\r" + result_code_text(code));
  return false;
}

void ReadCycle::on_tick() {
  if (acquisition_.polling()) return;
  auto plan = std::make_shared<CyclePlan>(plan_cycle(table_.modules()));
  if (plan->addresses.empty()) {
    apply(plan->modules, {});
    if (plan->error) std::rethrow_exception(plan->error);
    return;
  }
  acquisition_.read(plan->addresses, ModuleReadOptions{settings_.checksum, settings_.module_timeout},
                    [this, plan, started = steady_.now()](std::vector<ModuleRead> reads) {
                      cycle_seconds_.add(std::chrono::duration<double>(steady_.now() - started).count());
                      for (const auto& read : reads) ++module_reads_[read.code];
                      guarded(log_, [&] {
                        apply(plan->modules, reads);
                        if (plan->error) std::rethrow_exception(plan->error);
                      });
                    });
}

void ReadCycle::apply(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads) {
  table_.apply_readings(cycle_modules, reads, RawRange{settings_.raw_min, settings_.raw_max});
}

}  // namespace orvane
