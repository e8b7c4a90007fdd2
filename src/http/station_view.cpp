// The views a station thread publishes for the endpoint.
#include "device/dcon.hpp"
#include "device/simulated_modules.hpp"
#include "http/station_board.hpp"
#include "station/station.hpp"

#include <stdexcept>

namespace orvane::http {

std::optional<std::pair<int, int>> channel_input(const Station& station, int n) {
  const auto& table = station.channel_table();
  for (const auto& ch : table.channels()) {
    if (ch.table_row != n) continue;
    for (const auto& m : table.modules()) {
      if (m.number != ch.module || m.address.empty()) continue;
      try {
        return std::pair{dcon_address(m.address.front()), static_cast<int>(ch.channel)};
      } catch (const std::invalid_argument&) {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::shared_ptr<const StationView> take_view(const StationControl& control) {
  auto view = std::make_shared<StationView>();
  Station& station = control.station;
  const auto logged = station.operator_log().appended();
  view->snapshot = station.snapshot(logged > limits::kHttpMemoLines ? logged - limits::kHttpMemoLines : 0);
  view->counters = station.counters();
  view->index = control.index;
  auto port = control.host_port ? control.host_port() : HostPort{};
  view->hosts_connected = port.connected;
  view->hosts_refused = port.refused;
  view->listening = port.listening;
  view->listen = std::move(port.listen);
  view->host_addresses = std::move(port.addresses);
  if (control.modules) {
    view->simulated = true;
    for (const auto& [address, m] : control.modules->modules) view->module_addresses.push_back(address);
    for (int n = 1; n <= limits::kChannels; ++n) {
      if (!view->snapshot.panels[static_cast<std::size_t>(n - 1)].has_sensor) continue;
      const auto input = channel_input(station, n);
      if (!input) continue;
      const auto it = control.modules->modules.find(input->first);
      if (it == control.modules->modules.end() || input->second < 0 || input->second >= kAnalogInputs) continue;
      view->sources[static_cast<std::size_t>(n - 1)] =
          value_source_text(it->second.inputs[static_cast<std::size_t>(input->second)]);
    }
  }
  view->faults_injectable = control.faults != nullptr;
  if (control.faults) view->faults = control.faults->items();
  view->taken = std::chrono::steady_clock::now();
  return view;
}

}  // namespace orvane::http
