#include "http/scenario_file.hpp"

#include "core/limits.hpp"
#include "http/station_actions.hpp"
#include "http/station_board.hpp"

#include <toml++/toml.h>

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace orvane::http {

ScenarioError::ScenarioError(const std::string& file, int line, const std::string& key, const std::string& what)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " + (key.empty() ? "" : key + ": ") + what) {}

using nlohmann::json;

json ScenarioStep::select_json() const { return action.is_null() ? json{{"names", {station}}} : select; }

json ScenarioStep::action_json() const {
  return action.is_null() ? json{{"set_value", {{"channel", channel}, {"value", value}}}} : action;
}

std::string Scenario::step_text(const ScenarioStep& step) const {
  const std::string where = sources[step.source] + ":" + std::to_string(step.line) + ": ";
  if (step.action.is_null())
    return where + "station " + step.station + " channel " + std::to_string(step.channel) + " value " +
           std::to_string(step.value);
  return where + step.action.dump() + (step.select.empty() ? " on every station" : " on " + step.select.dump());
}

namespace {

constexpr const char* kActions[] = {"set_value", "set_source", "fault", "clear_faults"};

int line_of(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// A TOML value as the API's JSON would carry it.
json to_json(const toml::node& node) {
  if (const auto* t = node.as_table()) {
    json object = json::object();
    for (const auto& [key, value] : *t) object[std::string(key.str())] = to_json(value);
    return object;
  }
  if (const auto* a = node.as_array()) {
    json array = json::array();
    for (const auto& value : *a) array.push_back(to_json(value));
    return array;
  }
  if (node.is_string()) return *node.value<std::string>();
  if (node.is_integer()) return *node.value<std::int64_t>();
  if (node.is_floating_point()) return *node.value<double>();
  if (node.is_boolean()) return *node.value<bool>();
  return "a date or time";  // no action takes one: refused as any wrong type
}

LocalTime local_of(const toml::date& d, const toml::time& t) {
  return make_local_time(d.year, d.month, d.day, t.hour, t.minute, t.second, static_cast<int>(t.nanosecond / 1000000));
}

class ScenarioReader {
 public:
  ScenarioReader(Scenario& scenario, const ScenarioFiles& files) : s_(scenario), files_(files) {}

  void read(std::string_view text) {
    const std::string& name = s_.sources.front();
    if (text.size() > limits::kScenarioFileBytes)
      throw ScenarioError(name, 0, "", "is longer than " + std::to_string(limits::kScenarioFileBytes) + " bytes");
    toml::table root;
    try {
      root = toml::parse(text, name);
    } catch (const toml::parse_error& e) {
      throw ScenarioError(name, static_cast<int>(e.source().begin.line), "", std::string(e.description()));
    }
    bool seeded = false;
    const toml::node* replay = nullptr;
    double replay_speed = 1;
    for (const auto& [key, node] : root) {
      const std::string k(key.str());
      if (k == "name") {
        if (!node.is_string()) fail(node, k, "must be a string");
        s_.name = *node.value<std::string>();
      } else if (k == "seed") {
        const auto v = node.value<std::int64_t>();
        if (!node.is_integer() || !v || *v < 0) fail(node, k, "must be a whole number 0 or more");
        s_.seed = static_cast<std::uint64_t>(*v);
        seeded = true;
      } else if (k == "replay") {
        replay = &node;
      } else if (k == "replay_speed") {
        replay_speed = speed(node, k);
      } else if (k == "steps") {
        const auto* tables = node.as_array();
        if (!tables || !tables->is_array_of_tables()) fail(node, k, "must be [[steps]] tables");
        for (const auto& t : *tables) step(*t.as_table());
      } else {
        fail(node, k, "unknown key (name, seed, replay, replay_speed, steps)");
      }
    }
    if (!seeded) throw ScenarioError(name, 1, "seed", "missing (every random choice of the scenario comes from it)");
    if (replay) add_replay(s_, replay_file(*replay, "replay"), 0, replay_speed);
  }

 private:
  [[noreturn]] void fail(const toml::node& at, const std::string& key, const std::string& why) const {
    throw ScenarioError(s_.sources.front(), line_of(at), key, why);
  }

  double speed(const toml::node& node, const std::string& key) const {
    const auto v = node.value<double>();
    if (!node.is_number() || !v || !(*v >= 1 / limits::kReplayMaxSpeed && *v <= limits::kReplayMaxSpeed))
      fail(node, key, "must be a number from 0.001 to 1000 (times as fast as recorded)");
    return *v;
  }

  std::filesystem::path replay_file(const toml::node& node, const std::string& key) const {
    if (!node.is_string()) fail(node, key, "must be a string (a CSV file)");
    if (!files_.dir) fail(node, key, "a scenario sent over HTTP reads no file; name replays in a scenario file");
    const std::filesystem::path p(*node.value<std::string>());
    return p.is_relative() ? *files_.dir / p : p;
  }

  void when(const toml::node& node, ScenarioStep& step) const {
    const std::string key = "steps.at";
    if (node.is_number()) {
      const double v = *node.value<double>();
      if (!std::isfinite(v) || v < 0 || v > limits::kScenarioMaxSeconds)
        fail(node, key,
             "seconds from the start must be 0.." + std::to_string(static_cast<long>(limits::kScenarioMaxSeconds)));
      step.after_s = v;
      return;
    }
    // "HH:MM:SS" and "YYYY-MM-DDTHH:MM:SS" read as TOML reads its own
    // times, so both ways of writing one mean the same.
    toml::table parsed;
    const toml::node* time = &node;
    if (node.is_string()) {
      const auto text = *node.value<std::string>();
      if (text.empty() || text.size() > 40 || text.find_first_not_of("0123456789:-T .") != std::string::npos)
        fail(node, key, "\"" + text + "\" is not seconds, HH:MM:SS or YYYY-MM-DDTHH:MM:SS");
      try {
        parsed = toml::parse("at = " + text);
      } catch (const toml::parse_error&) {
        fail(node, key, "\"" + text + "\" is not seconds, HH:MM:SS or YYYY-MM-DDTHH:MM:SS");
      }
      time = parsed.get("at");
    }
    if (time->is_time()) {
      const auto t = time->as_time()->get();
      step.wall = LocalTime(
          std::chrono::milliseconds(((t.hour * 60 + t.minute) * 60 + t.second) * 1000L + t.nanosecond / 1000000));
      step.daily = true;
    } else if (time->is_date_time()) {
      const auto dt = time->as_date_time()->get();
      if (dt.offset) fail(node, key, "give a local date-time, without a zone offset");
      step.wall = local_of(dt.date, dt.time);
    } else {
      fail(node, key, "must be seconds from the start, a time of day HH:MM:SS or a date-time YYYY-MM-DDTHH:MM:SS");
    }
  }

  void step(const toml::table& t) {
    ScenarioStep step;
    step.line = line_of(t);
    if (s_.steps.size() >= limits::kScenarioSteps)
      fail(t, "steps", "more than " + std::to_string(limits::kScenarioSteps) + " steps");
    const toml::node* at = t.get("at");
    if (!at) fail(t, "steps.at", "missing (seconds from the start, HH:MM:SS or a date-time)");
    when(*at, step);
    const toml::node* action = nullptr;
    const toml::node* replay = nullptr;
    double replay_speed = 1;
    std::string action_key;
    for (const auto& [key, node] : t) {
      const std::string k(key.str());
      if (k == "at") continue;
      if (k == "select") {
        if (!node.is_table())
          fail(node, "steps.select",
               "must be a table: {stations = \"0-9\"}, {identity = \"F1 *\"}, {names = [...]} or {}");
        step.select = to_json(node);
      } else if (k == "replay") {
        replay = &node;
      } else if (k == "speed") {
        replay_speed = speed(node, "steps.speed");
      } else if (std::find(std::begin(kActions), std::end(kActions), k) != std::end(kActions)) {
        if (action) fail(node, "steps." + k, "a step takes one action; this one has " + action_key + " already");
        action = &node;
        action_key = k;
      } else {
        fail(node, "steps." + k, "unknown key (at, select, set_value, set_source, fault, clear_faults, replay, speed)");
      }
    }
    if (replay) {
      if (action) fail(*replay, "steps.replay", "a step takes one action; this one has " + action_key + " already");
      if (step.wall) fail(*at, "steps.at", "a replay starts at seconds from the start");
      if (t.get("select")) fail(*t.get("select"), "steps.select", "a replay's rows name their stations");
      add_replay(s_, replay_file(*replay, "steps.replay"), step.after_s, replay_speed);
      return;
    }
    if (t.get("speed")) fail(*t.get("speed"), "steps.speed", "is for a replay only");
    if (!action) fail(t, "steps", "no action (set_value, set_source, fault, clear_faults or replay)");
    if (!step.select.is_object()) step.select = json::object();
    step.action = json{{action_key, to_json(*action)}};
    // Its form, judged as the API judges a request's; the stations later.
    try {
      parse_action(step.action, s_.seed);
    } catch (const RequestRefused& r) {
      fail(*action, "steps." + action_key, r.reason);
    }
    s_.steps.push_back(std::move(step));
  }

  Scenario& s_;
  const ScenarioFiles& files_;
};

std::string trimmed(std::string_view s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(" \t\r") - b + 1));
}

}  // namespace

Scenario parse_scenario(std::string_view text, const std::string& name, const ScenarioFiles& files) {
  Scenario s;
  s.sources.push_back(name);
  ScenarioReader(s, files).read(text);
  return s;
}

Scenario read_scenario_file(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) throw ScenarioError(file.string(), 0, "", "cannot be read: " + ec.message());
  if (size > limits::kScenarioFileBytes)
    throw ScenarioError(file.string(), 0, "",
                        "is longer than " + std::to_string(limits::kScenarioFileBytes) + " bytes");
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw ScenarioError(file.string(), 0, "", "cannot be read");
  return parse_scenario(text.str(), file.string(), {file.parent_path().empty() ? "." : file.parent_path()});
}

void add_replay(Scenario& scenario, const std::filesystem::path& csv, double start_s, double speed) {
  const std::string name = csv.string();
  std::error_code ec;
  const auto size = std::filesystem::file_size(csv, ec);
  if (ec) throw ScenarioError(name, 0, "", "cannot be read: " + ec.message());
  if (size > limits::kReplayFileBytes)
    throw ScenarioError(name, 0, "", "is longer than " + std::to_string(limits::kReplayFileBytes) + " bytes");
  std::ifstream in(csv, std::ios::binary);
  if (!in) throw ScenarioError(name, 0, "", "cannot be read");
  const auto source = static_cast<std::uint32_t>(scenario.sources.size());
  scenario.sources.push_back(name);
  std::string line;
  int n = 0;
  std::size_t rows = 0;
  for (const auto& s : scenario.steps) rows += s.action.is_null() ? 1 : 0;
  while (std::getline(in, line)) {
    ++n;
    const auto fail = [&](const std::string& why) { throw ScenarioError(name, n, "", why); };
    const auto text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
      const auto comma = text.find(',', at);
      fields.push_back(
          trimmed(std::string_view(text).substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    if (n == 1 && fields.size() == 4 && fields[0] == "time") continue;  // the header
    if (fields.size() != 4)
      fail("a row is time,station,channel,value; this one has " + std::to_string(fields.size()) + " fields");
    if (++rows > limits::kReplayRows)
      fail("more than " + std::to_string(limits::kReplayRows) + " rows in the scenario's replays");
    double t = 0;
    const auto& ts = fields[0];
    const auto [end, err] = std::from_chars(ts.data(), ts.data() + ts.size(), t);
    if (ts.empty() || err != std::errc() || end != ts.data() + ts.size() || !std::isfinite(t) || t < 0 ||
        t / speed > limits::kScenarioMaxSeconds)
      fail("time \"" + ts + "\" is not seconds from the start (0 or more)");
    if (fields[1].empty()) fail("no station");
    try {
      (void)json(fields[1]).dump();  // shown in JSON later: it must be UTF-8 now
    } catch (const json::exception&) {
      fail("the station's name is not UTF-8 text");
    }
    int channel = 0;
    const auto& cs = fields[2];
    const auto [cend, cerr] = std::from_chars(cs.data(), cs.data() + cs.size(), channel);
    if (cerr != std::errc() || cend != cs.data() + cs.size() || channel < 1 || channel > limits::kChannels)
      fail("channel \"" + cs + "\" is not 1.." + std::to_string(limits::kChannels));
    ScenarioStep step;
    step.after_s = start_s + t / speed;
    step.source = source;
    step.line = n;
    step.station = fields[1];
    step.channel = channel;
    try {
      step.value = channel_value(json(fields[3]));
    } catch (const RequestRefused& r) {
      fail(r.reason + ", got \"" + fields[3] + "\"");
    }
    scenario.steps.push_back(std::move(step));
  }
  if (in.bad()) throw ScenarioError(name, n, "", "cannot be read");
}

std::optional<Scenario> start_scenario(const std::string& file, const std::string& replay, double speed) {
  if (file.empty() && replay.empty()) return std::nullopt;
  Scenario s;
  if (!file.empty()) {
    s = read_scenario_file(file);
  } else {
    s.name = std::filesystem::path(replay).filename().string();
    s.sources.push_back("--replay");
  }
  if (!replay.empty()) add_replay(s, replay, 0, speed);
  return s;
}

void check_scenario(const Scenario& scenario, const StationBoard& board) {
  for (const auto& step : scenario.steps) {
    const auto& file = scenario.sources[step.source];
    if (step.action.is_null()) {
      const auto slot = board.find(step.station);
      if (!slot) throw ScenarioError(file, step.line, "", "no station named " + step.station);
      const auto view = board.view(*slot);
      if (!view) throw ScenarioError(file, step.line, "", "station " + step.station + " has not reported yet");
      if (!view->snapshot.panels[static_cast<std::size_t>(step.channel - 1)].has_sensor)
        throw ScenarioError(file, step.line, "",
                            "station " + step.station + ": channel " + std::to_string(step.channel) + " has no sensor");
      continue;
    }
    const std::string key = "steps." + step.action.begin().key();
    std::vector<ActionTarget> targets;
    try {
      targets = select_stations(board, step.select);
    } catch (const RequestRefused& r) {
      throw ScenarioError(file, step.line, "steps.select", r.reason);
    }
    const auto action = parse_action(step.action, scenario.seed);
    for (const auto& t : targets)
      if (auto why = action.check(*t.view); !why.empty())
        throw ScenarioError(file, step.line, key, "station " + t.name + ": " + why);
  }
}

std::vector<double> step_offsets(const Scenario& scenario, LocalTime now) {
  std::vector<double> out;
  out.reserve(scenario.steps.size());
  const auto midnight = std::chrono::floor<std::chrono::days>(now);
  for (const auto& step : scenario.steps) {
    if (!step.wall) {
      out.push_back(step.after_s);
      continue;
    }
    auto at = *step.wall;
    if (step.daily) {
      at = midnight + step.wall->time_since_epoch();
      if (at < now) at += std::chrono::days(1);
    } else if (at < now) {
      const auto c = civil(at);
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                    c.second);
      throw ScenarioError(scenario.sources[step.source], step.line, "steps.at",
                          std::string(text) + " has passed (the scenario starts at " + stamp_hh_nn_ss(now) + ")");
    }
    out.push_back(std::chrono::duration<double>(at - now).count());
  }
  return out;
}

}  // namespace orvane::http
