// The read cycle: readings of the analog modules become channel values.
#include "core/comma_text.hpp"
#include "core/conversion.hpp"
#include "core/integer_text.hpp"
#include "device/result_codes.hpp"
#include "station/channel_table.hpp"
#include "station/station.hpp"

#include <exception>
#include <memory>
#include <stdexcept>

namespace orvane {

bool Station::open_device_line() {
  const int code = acquisition_.open(settings_.com_port, settings_.baud_rate);
  if (code == rc::kNoError) return true;
  log("OPEN_COM Error Code:" + int_text(code) + "\r" + result_code_text(code));
  return false;
}

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

std::vector<std::string> ChannelTable::module_texts(const ModuleRead& read) {
  if (read.code != rc::kNoError) log("The Error Code:" + int_text(read.code) + "\r" + result_code_text(read.code));
  std::vector<std::string> texts;
  texts.reserve(read.area.size());
  for (const float v : read.area) texts.push_back(reading_text(v));
  return texts;
}

void Station::on_read_tick() {
  // One cycle at a time: a tick while the modules are still being read is
  // skipped.
  if (acquisition_.polling()) return;
  auto plan = std::make_shared<CyclePlan>(plan_cycle(table_.modules()));
  if (plan->addresses.empty()) {
    apply_readings(plan->modules, {});
    if (plan->error) std::rethrow_exception(plan->error);
    return;
  }
  acquisition_.read(plan->addresses, ModuleReadOptions{settings_.checksum, settings_.module_timeout},
                    [this, plan](std::vector<ModuleRead> reads) {
                      guarded([&] {
                        apply_readings(plan->modules, reads);
                        if (plan->error) std::rethrow_exception(plan->error);
                      });
                    });
}

void Station::apply_readings(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads) {
  table_.apply_readings(cycle_modules, reads, RawRange{settings_.raw_min, settings_.raw_max});
}

void ChannelTable::apply_readings(const std::vector<CycleModule>& cycle_modules, const std::vector<ModuleRead>& reads,
                                  const RawRange& range) {
  std::size_t next_read = 0;
  std::vector<std::string> readings;
  for (const auto& module : cycle_modules) {
    readings.clear();
    if (module.read && next_read < reads.size()) readings = module_texts(reads[next_read++]);
    for (auto& ch : channels_) {
      if (!ch.enabled || ch.module != module.number) continue;
      ch.raw = 0;
      if (ch.channel >= 0 && static_cast<std::size_t>(ch.channel) < readings.size())
        ch.raw = parse_decimal(readings[static_cast<std::size_t>(ch.channel)]).value_or(0);
      const bool linked = ch.table_row >= 1 && ch.table_row < sensors_.row_count();
      if (!linked) {
        const auto v = full_scale_value(ch.raw, range);
        ch.value = v ? int_text(*v) : "0";
        continue;
      }
      const auto& row = sensors_.row(ch.table_row);
      const std::int64_t lower = strict_int(trim(row[col::kLower])).value_or(0);
      const std::int64_t upper = strict_int(trim(row[col::kUpper])).value_or(0);
      const auto v = range_value(ch.raw, range, lower, upper);
      ch.value = v ? int_text(*v) : "0";
      // Rows beyond the 32 panels keep their channel's value but show nothing.
      if (trim(row[col::kEnabled]) == "Y" && has_panel(ch.table_row)) {
        auto& p = panel(ch.table_row);
        p.value = ch.value;
        p.shown = general_text(ch.raw);
      }
    }
  }
}

bool ChannelTable::set_value_by_hand(std::string_view port_id, std::int64_t value) {
  const auto id = trim(port_id);
  for (int r = 1; r < sensors_.row_count(); ++r) {
    if (sensors_.cell(r, col::kPortId) != id) continue;
    if (!has_panel(r)) return false;
    auto& p = panel(r);
    p.value = int_text(value);
    p.shown = p.value;
    return true;
  }
  return false;
}

void ChannelTable::set_panel_value(int n, const std::string& text) {
  auto& p = panel(n);
  p.value = text;
  p.shown = text;
}

}  // namespace orvane
