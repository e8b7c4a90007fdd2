// The read cycle: readings of the analog modules become channel values.
#include "core/comma_text.hpp"
#include "core/conversion.hpp"
#include "core/integer_text.hpp"
#include "device/result_codes.hpp"
#include "station/station.hpp"

#include <stdexcept>

namespace orvane {

bool Station::open_device_line() {
  const int code = acquisition.line().open(settings.com_port, settings.baud_rate);
  if (code == rc::kNoError) return true;
  log("OPEN_COM Error Code:" + int_text(code) + "\r" + result_code_text(code));
  return false;
}

std::vector<std::string> Station::read_module(const ModuleRecord& module) {
  if (module.address.empty()) throw std::invalid_argument("'' is not a valid module address");
  const int address = dcon_address(module.address.front());  // throws before anything is sent
  const int code = acquisition.line().read_module(address, settings.checksum, settings.module_timeout, acquisition.area);
  if (code != rc::kNoError) log("The Error Code:" + int_text(code) + "\r" + result_code_text(code));
  std::vector<std::string> texts;
  texts.reserve(acquisition.area.size());
  for (const float v : acquisition.area) texts.push_back(reading_text(v));
  return texts;
}

void Station::on_read_tick() {
  const RawRange range{settings.raw_min, settings.raw_max};
  std::vector<std::string> readings;
  for (const auto& module : modules) {
    readings.clear();
    if (!module.enabled) continue;
    if (module.kind == "A") readings = read_module(module);
    for (auto& ch : channels) {
      if (!ch.enabled || ch.module != module.number) continue;
      ch.raw = 0;
      if (ch.channel >= 0 && static_cast<std::size_t>(ch.channel) < readings.size())
        ch.raw = parse_decimal(readings[static_cast<std::size_t>(ch.channel)]).value_or(0);
      const bool linked = ch.table_row >= 1 && ch.table_row < sensor_table.row_count();
      if (!linked) {
        const auto v = full_scale_value(ch.raw, range);
        ch.value = v ? int_text(*v) : "0";
        continue;
      }
      const auto& row = sensor_table.row(ch.table_row);
      const std::int64_t lower = strict_int(trim(row[col::kLower])).value_or(0);
      const std::int64_t upper = strict_int(trim(row[col::kUpper])).value_or(0);
      const auto v = range_value(ch.raw, range, lower, upper);
      ch.value = v ? int_text(*v) : "0";
      // Rows beyond the 32 panels keep their channel's value but show nothing.
      if (trim(row[col::kEnabled]) == "Y" && has_panel(ch.table_row)) {
        auto& p = panel(ch.table_row);
        p.value = ch.value;
        p.mask = general_text(ch.raw);
      }
    }
  }
}

bool Station::set_value_by_hand(std::string_view port_id, std::int64_t value) {
  const auto id = trim(port_id);
  for (int r = 1; r < sensor_table.row_count(); ++r) {
    if (sensor_table.cell(r, col::kPortId) != id) continue;
    if (!has_panel(r)) return false;
    auto& p = panel(r);
    p.value = int_text(value);
    p.mask = p.value;
    return true;
  }
  return false;
}

}  // namespace orvane
