// The control API's JSON forms of a station: its row in the list, its whole
// state, its faults; and the glob its list and selections are filtered by.
#pragma once
#include "http/station_board.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace orvane::http {

nlohmann::json fault_json(const InjectedFault& fault);
nlohmann::json faults_json(const StationView& view);
// The row of the list: identity, events, last upload, hosts, faults.
nlohmann::json station_row(const std::string& name, const StationView& view);
// The row with the channels and their sources, the hosts' addresses, the
// memo's last lines and the 32 panels.
nlohmann::json station_state(const std::string& name, const StationView& view);

// `*` any run of characters, `?` any one; the rest as it is.
bool glob_match(std::string_view pattern, std::string_view text);
// The station's identity matches `pattern`: "FACTORY SENSOR", the factory
// ID or the sensor ID.
bool identity_matches(std::string_view pattern, const StationView& view);

}  // namespace orvane::http
