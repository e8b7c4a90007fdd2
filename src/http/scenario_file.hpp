// Scenario files: a seed, a name and a timeline of steps, each a selection
// of stations and one action of the control API, or recorded values
// replayed from CSV. Read in full before anything runs, so a mistake is
// reported as "FILE:LINE: KEY: what" and no step of a bad file is taken.
#pragma once
#include "core/local_time.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::http {

class StationBoard;

// "FILE:LINE: KEY: what is wrong" (no KEY part when there is none).
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(const std::string& file, int line, const std::string& key, const std::string& what);
};

struct ScenarioStep {
  // When: seconds from the start, or a wall time (local): a time of day
  // is its next coming, a date-time that one moment.
  double after_s = 0;
  std::optional<LocalTime> wall;
  bool daily = false;  // `wall` holds a time of day (since midnight)
  // Where it was written: the scenario's sources[source], and its line.
  std::uint32_t source = 0;
  int line = 0;
  // A step of the file: the selection and the action, as the API takes them.
  nlohmann::json select;
  nlohmann::json action;
  // A replayed row (`action` null): SET_VALUE on one station.
  std::string station;
  int channel = 0;
  std::int64_t value = 0;

  nlohmann::json select_json() const;
  nlohmann::json action_json() const;
};

struct Scenario {
  std::string name;
  std::uint64_t seed = 0;
  std::vector<std::string> sources;  // the file's name, then each replay file's
  std::vector<ScenarioStep> steps;  // in the file's order, replayed rows after theirs

  // Readable: "scenario.toml:7: set_source {...} on {"stations":"1"}".
  std::string step_text(const ScenarioStep& step) const;
};

// Where a scenario's replay files may come from: the directory relative
// names are taken in, or none (a scenario sent over HTTP reads no file).
struct ScenarioFiles {
  std::optional<std::filesystem::path> dir;
};

// Reads a scenario's text (`name` for the messages); throws ScenarioError.
Scenario parse_scenario(std::string_view text, const std::string& name, const ScenarioFiles& files);
// Reads a scenario file; its replay files are taken relative to its directory.
Scenario read_scenario_file(const std::filesystem::path& file);
// Appends the rows of a CSV file "time,station,channel,value", each at
// `start_s` plus its time divided by `speed`; throws ScenarioError with
// the row's line.
void add_replay(Scenario& scenario, const std::filesystem::path& csv, double start_s, double speed);

// The scenario a program is started with: a scenario file, a replay file
// (at `speed`), or both (the replay's rows join the file's steps from the
// start); none when both are empty. Throws ScenarioError.
std::optional<Scenario> start_scenario(const std::string& file, const std::string& replay, double speed);

// Every step checked against the stations on `board` now, as the control
// API checks an action before running it; throws ScenarioError.
void check_scenario(const Scenario& scenario, const StationBoard& board);

// Each step's time from a start at wall time `now`, in seconds, in the
// order of the steps; throws ScenarioError for a date-time already passed.
std::vector<double> step_offsets(const Scenario& scenario, LocalTime now);

}  // namespace orvane::http
