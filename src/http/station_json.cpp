#include "http/station_json.hpp"

#include <fmt/format.h>

namespace orvane::http {

using nlohmann::json;

json fault_json(const InjectedFault& f) {
  json j = {{"target", fault_target_name(f.target)}, {"kind", f.kind}};
  if (f.target == FaultTarget::module)
    j["module"] = f.module < 0 ? json(nullptr) : json(fmt::format("{:02X}", f.module));
  if (f.kind == "delayed" || f.kind == "delay_replies") j["delay_ms"] = f.delay_ms;
  if (f.kind == "slow") j["bytes_per_s"] = f.bytes_per_s;
  return j;
}

json faults_json(const StationView& v) {
  json out = json::array();
  for (const auto& f : v.faults) out.push_back(fault_json(f));
  return out;
}

json station_row(const std::string& name, const StationView& v) {
  const auto& s = v.snapshot;
  const auto& e = v.counters.events;
  return {
      {"station", name},
      {"index", v.index},
      {"listen", v.listen},
      {"factory_id", s.settings.factory_id},
      {"sensor_id", s.settings.sensor_id},
      {"data_mode", s.data_mode == DataMode::reading ? "reading" : "stopped"},
      {"events", {{"waiting", s.events_buffered}, {"delivered", e.delivered}, {"buffered", e.added}}},
      {"last_upload", {{"result", e.last_upload}, {"attempts", e.upload_attempts}, {"failures", e.upload_failures}}},
      {"hosts", {{"connected", v.hosts_connected}, {"refused", v.hosts_refused}, {"listening", v.listening}}},
      {"faults", faults_json(v)}};
}

json station_state(const std::string& name, const StationView& v) {
  json state = station_row(name, v);
  const auto& s = v.snapshot;
  json channels = json::array();
  json panels = json::array();
  for (std::size_t i = 0; i < s.panels.size(); ++i) {
    const auto& p = s.panels[i];
    panels.push_back({{"channel", i + 1},
                      {"label", p.label},
                      {"shown", p.shown},
                      {"level", p.event_state},
                      {"has_sensor", p.has_sensor},
                      {"enabled", p.enabled},
                      {"digital", p.digital}});
    if (!p.has_sensor) continue;
    channels.push_back({{"channel", i + 1},
                        {"port_id", p.port_id},
                        {"value", p.value},
                        {"level", p.event_state},
                        {"enabled", p.enabled},
                        {"digital", p.digital},
                        {"source", v.sources[i].empty() ? json(nullptr) : json(v.sources[i])}});
  }
  state["channels"] = std::move(channels);
  state["panels"] = std::move(panels);
  state["hosts"]["addresses"] = v.host_addresses;
  state["memo"] = s.memo_new;
  return state;
}

bool glob_match(std::string_view pattern, std::string_view text) {
  // Iterative with one backtrack point: linear in practice, never exponential.
  std::size_t p = 0, t = 0, star = std::string_view::npos, after_star = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p, ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      after_star = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++after_star;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool identity_matches(std::string_view pattern, const StationView& v) {
  const auto& id = v.snapshot.settings;
  return glob_match(pattern, id.factory_id + " " + id.sensor_id) || glob_match(pattern, id.factory_id) ||
         glob_match(pattern, id.sensor_id);
}

}  // namespace orvane::http
