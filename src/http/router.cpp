#include "http/router.hpp"

#include "core/comma_text.hpp"
#include "core/integer_text.hpp"
#include "core/limits.hpp"
#include "http/metrics_text.hpp"
#include "http/page_files.hpp"
#include "http/scenario_runner.hpp"
#include "http/station_actions.hpp"
#include "http/station_json.hpp"
#include "station/channel_model.hpp"
#include "station/station.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <future>
#include <memory>
#include <vector>

namespace orvane::http {
namespace {

using nlohmann::json;

Response json_response(int status, const json& body) { return {status, "application/json", body.dump() + "\n"}; }

Response text_response(int status, std::string text) { return {status, "text/plain; charset=utf-8", std::move(text)}; }

std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto slash = path.find('/', start);
    const auto end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Compared in time independent of where they differ, so the token can't be
// guessed a character at a time (its length is no secret worth the trouble).
bool same_secret(std::string_view given, std::string_view token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

// 1..kChannels written in plain digits; 0 otherwise.
int channel_number(const std::string& text) {
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > limits::kChannels) return 0;
  return n;
}

}  // namespace

Response error_response(int status, const std::string& reason) { return json_response(status, {{"error", reason}}); }

Router::Router(StationBoard& board, std::string token, std::chrono::milliseconds action_timeout, MetricsOptions metrics)
    : board_(board), token_(std::move(token)), action_timeout_(action_timeout), metrics_(metrics) {}

Response Router::answer(const Request& request) const {
  const bool read = request.method == "GET" || request.method == "HEAD";
  if (request.path == "/metrics" || request.path == "/livez" || request.path == "/readyz") {
    if (!read) return error_response(405, "only GET is served here");
    if (request.path == "/metrics") return {200, kMetricsContentType, metrics_text(board_.entries(), metrics_)};
    return request.path == "/livez" ? livez() : readyz();
  }
  if (request.path == "/api/v1" || request.path.starts_with("/api/v1/")) {
    if (!authorized(request.authorization)) return error_response(401, "a bearer token is needed");
    try {
      return api(request);
    } catch (const RequestRefused& refused) {
      return error_response(refused.status, refused.reason);
    }
  }
  // The status page is served without the token: it holds nothing of a
  // station, and its scripts send the token the user gives to the API.
  if (const auto* file = find_page_file(request.path)) {
    if (!read) return error_response(405, "only GET is served here");
    return page_response(*file);
  }
  return error_response(404, "no such path");
}

bool Router::authorized(const std::string& authorization) const {
  if (token_.empty()) return true;
  constexpr std::string_view kScheme = "Bearer ";
  if (!authorization.starts_with(kScheme)) return false;
  return same_secret(std::string_view(authorization).substr(kScheme.size()), token_);
}

Response Router::livez() const {
  const auto entries = board_.entries();
  const auto now = std::chrono::steady_clock::now();
  for (const auto& e : entries) {
    if (!e.view || now - e.view->taken > std::chrono::milliseconds(limits::kHttpLivenessMs))
      return text_response(503, "station " + e.name + " is not turning\n");
  }
  return text_response(200, "ok\n");
}

Response Router::readyz() const {
  for (const auto& e : board_.entries()) {
    if (!e.view || !e.view->listening) return text_response(503, "station " + e.name + " is not listening\n");
  }
  return text_response(200, "ok\n");
}

Response Router::api(const Request& request) const {
  const auto parts = path_parts(request.path);  // "api", "v1", ...
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (parts.size() == 3 && parts[2] == "stations") {
    if (!get) return error_response(405, "only GET is served here");
    return list(request);
  }
  if (parts.size() == 3 && parts[2] == "actions") {
    if (request.method != "POST") return error_response(405, "only POST is served here");
    return run_actions(board_, request.body, action_timeout_);
  }
  if (parts.size() == 3 && parts[2] == "scenario") return scenario(request);
  if (parts.size() < 4 || parts[2] != "stations") return error_response(404, "no such path");
  const auto& name = parts[3];
  const auto slot = board_.find(name);
  if (!slot) return error_response(404, "no station named " + name);
  if (parts.size() == 4) {
    if (!get) return error_response(405, "only GET is served here");
    return station_state(*slot, name);
  }
  if (parts.size() == 5 && parts[4] == "faults") {
    const auto view = board_.view(*slot);
    if (!view) return error_response(503, "station " + name + " has not reported yet");
    if (get) return json_response(200, {{"faults", faults_json(*view)}});
    if (request.method != "DELETE") return error_response(405, "only GET and DELETE are served here");
    return clear_station_faults(board_, {*slot, name, view}, action_timeout_);
  }
  if (parts.size() == 7 && parts[4] == "channels" && parts[6] == "value") {
    if (request.method != "POST") return error_response(405, "only POST is served here");
    return set_channel_value(name, parts[5], request.body);
  }
  return error_response(404, "no such path");
}

namespace {

std::size_t count_argument(const Request& request, const char* name, std::size_t fallback, std::size_t max) {
  const auto it = request.query.find(name);
  if (it == request.query.end()) return fallback;
  std::size_t n = 0;
  const auto& text = it->second;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n > max)
    throw RequestRefused{400, std::string(name) + " must be a whole number 0.." + std::to_string(max)};
  return n;
}

}  // namespace

Response Router::list(const Request& request) const {
  const std::size_t offset = count_argument(request, "offset", 0, SIZE_MAX / 2);
  const std::size_t limit = count_argument(request, "limit", limits::kHttpListDefault, limits::kHttpListMax);
  std::string q;
  bool faulted = false;
  for (const auto& [key, value] : request.query) {
    if (key == "q" && value.size() > limits::kHttpGlobBytes)
      throw RequestRefused{400, "q may be at most " + std::to_string(limits::kHttpGlobBytes) + " bytes"};
    else if (key == "q")
      q = value;
    else if (key == "fault" && value == "any")
      faulted = true;
    else if (key == "fault")
      throw RequestRefused{400, "fault takes \"any\" only"};
    else if (key != "offset" && key != "limit")
      throw RequestRefused{400, "unknown argument \"" + key + "\" (offset, limit, q, fault)"};
  }
  const auto entries = board_.entries();
  json rows = json::array();
  std::size_t total = 0;
  for (const auto& e : entries) {
    if (!q.empty() && !glob_match(q, e.name) && !(e.view && identity_matches(q, *e.view))) continue;
    if (faulted && (!e.view || e.view->faults.empty())) continue;
    if (total++ < offset || rows.size() >= limit) continue;
    rows.push_back(e.view ? station_row(e.name, *e.view) : json{{"station", e.name}, {"reported", false}});
  }
  return json_response(200, {{"total", total}, {"offset", offset}, {"limit", limit}, {"stations", std::move(rows)}});
}

// The body is the scenario file's text; its messages name it "scenario".
// A new one replaces the one loaded; DELETE ends it.
Response Router::scenario(const Request& request) const {
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (get) return json_response(200, scenario_ ? scenario_->status() : json{{"loaded", false}});
  if (request.method != "POST" && request.method != "DELETE")
    return error_response(405, "only GET, POST and DELETE are served here");
  if (!scenario_) return error_response(404, "this endpoint runs no scenarios");
  if (request.method == "DELETE") {
    scenario_->stop();
    return json_response(200, scenario_->status());
  }
  try {
    scenario_->start(parse_scenario(request.body, "scenario", {}));
  } catch (const ScenarioError& e) {
    return error_response(400, e.what());
  }
  return json_response(200, scenario_->status());
}

Response Router::station_state(StationBoard::Slot slot, const std::string& name) const {
  const auto view = board_.view(slot);
  if (!view) return error_response(503, "station " + name + " has not reported yet");
  return json_response(200, http::station_state(name, *view));
}

Response Router::set_channel_value(const std::string& name, const std::string& channel, const std::string& body) const {
  const int n = channel_number(channel);
  if (n == 0)
    return error_response(404,
                          "no channel " + channel + " (channels are 1.." + std::to_string(limits::kChannels) + ")");
  const json request = json::parse(body, nullptr, false);
  if (request.is_discarded()) return error_response(400, "the body is not JSON");
  if (!request.is_object() || !request.contains("value")) return error_response(400, "the body must be {\"value\": N}");
  for (const auto& [key, _] : request.items())
    if (key != "value") return error_response(400, "unknown field \"" + key + "\"");
  const std::int64_t v = channel_value(request["value"]);

  // SET_VALUE's rule: the channel's panel value and shown text become the
  // number's decimal text, unconverted; the next event check sees it.
  auto answer = std::make_shared<std::promise<Response>>();
  auto future = answer->get_future();
  board_.post(name, [answer, n, v, name](StationControl& control) {
    Station& station = control.station;
    try {
      auto& table = station.channel_table();
      const auto& sensors = table.sensors();
      const std::string port_id = n < sensors.row_count() ? trim_copy(sensors.row(n)[col::kPortId]) : std::string();
      if (port_id.empty()) {
        answer->set_value(error_response(404, "channel " + std::to_string(n) + " has no sensor"));
        return;
      }
      const std::string before = table.panel(n).value;
      table.set_panel_value(n, int_text(v));
      answer->set_value(
          json_response(200, {{"station", name},
                              {"channel", n},
                              {"port_id", port_id},
                              {"changed", {{"value", {{"from", before}, {"to", table.panel(n).value}}}}}}));
    } catch (const std::exception& e) {
      answer->set_value(error_response(500, e.what()));
    }
  });
  if (future.wait_for(action_timeout_) != std::future_status::ready)
    return error_response(503, "station " + name + " did not answer in time; the value is set when it does");
  try {
    return future.get();
  } catch (const std::future_error&) {
    return error_response(503, "station " + name + " is shutting down");
  }
}

}  // namespace orvane::http
