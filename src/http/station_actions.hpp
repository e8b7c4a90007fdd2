// POST /api/v1/actions and the faults of one station: a selection of
// stations and one action, checked whole against the stations' views
// before anything is posted (a bad request changes nothing), then run on
// each selected station's own thread; the answer lists what changed.
#pragma once
#include "http/http_types.hpp"
#include "http/station_board.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvane::http {

// Thrown while a request is checked: its status (400, 404, 503) and reason.
struct RequestRefused {
  int status;
  std::string reason;
};

// The station an action runs on, with the view it was checked against.
struct ActionTarget {
  StationBoard::Slot slot;
  std::string name;
  std::shared_ptr<const StationView> view;
};

// What an action does on one station's thread: the change made, as the
// answer lists it; empty when nothing needed changing. Throws
// std::exception with the reason it could not be done there.
using StationChange = std::function<std::string(StationControl&)>;

// Posts `change` to every target and waits for them all, at most
// `timeout` in all. 200 {"changed", "count"}; with "failed" (409) when a
// station could not do it, "pending" (503) when one did not answer in time.
Response run_on_stations(const StationBoard& board, const std::vector<ActionTarget>& targets, StationChange change,
                         std::chrono::milliseconds timeout);

// A channel value as SET_VALUE takes it: a whole number, given as a JSON
// number or numeric text. Throws RequestRefused.
std::int64_t channel_value(const nlohmann::json& value);

// An action whose form is checked; `check` says why it can't be done on a
// station, judged by its view (empty: it can), `change` does it there.
struct CheckedAction {
  std::function<std::string(const StationView&)> check;
  StationChange change;
};
// {"set_value": ...} and the others, as POST /api/v1/actions takes them.
// With `walk_seed`, a walk set_source sets is seeded from it and the
// station's index (else from the index alone). Throws RequestRefused.
CheckedAction parse_action(const nlohmann::json& action, std::optional<std::uint64_t> walk_seed = std::nullopt);
// The stations a "select" object names, each with its view. Throws RequestRefused.
std::vector<ActionTarget> select_stations(const StationBoard& board, const nlohmann::json& select);
// Checks `action` on every target's view, then runs it (run_on_stations).
Response checked_run(const StationBoard& board, const std::vector<ActionTarget>& targets, CheckedAction action,
                     std::chrono::milliseconds timeout);

// The body of POST /api/v1/actions, checked and run.
Response run_actions(const StationBoard& board, const std::string& body, std::chrono::milliseconds timeout);
// DELETE /api/v1/stations/<name>/faults.
Response clear_station_faults(const StationBoard& board, const ActionTarget& target, std::chrono::milliseconds timeout);

}  // namespace orvane::http
