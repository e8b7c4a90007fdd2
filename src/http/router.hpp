// Routes the endpoint's requests: /metrics, /livez, /readyz, the control
// API under /api/v1/ and the status page's files (page_files.hpp). Runs on the endpoint's threads; reads the board's
// views and posts actions to the stations, waiting a bounded time for their
// answer. Nothing here reads or writes a file.
#pragma once
#include "http/http_types.hpp"
#include "http/metrics_text.hpp"
#include "http/station_board.hpp"

#include <chrono>
#include <string>

namespace orvane::http {

class ScenarioRunner;

class Router {
 public:
  // `token`: the bearer token the control API asks for; empty: none asked
  // (the endpoint listens on loopback only).
  Router(StationBoard& board, std::string token,
         std::chrono::milliseconds action_timeout = std::chrono::milliseconds(limits::kHttpActionTimeoutMs),
         MetricsOptions metrics = {});

  Response answer(const Request& request) const;
  // /api/v1/scenario runs scenarios there; none: it shows none loaded and
  // takes none.
  void set_scenario(ScenarioRunner* runner) { scenario_ = runner; }

 private:
  Response livez() const;
  Response readyz() const;
  Response api(const Request& request) const;
  Response list(const Request& request) const;
  Response station_state(StationBoard::Slot slot, const std::string& name) const;
  Response scenario(const Request& request) const;
  Response set_channel_value(const std::string& name, const std::string& channel, const std::string& body) const;
  bool authorized(const std::string& authorization) const;

  StationBoard& board_;
  std::string token_;
  std::chrono::milliseconds action_timeout_;
  MetricsOptions metrics_;
  ScenarioRunner* scenario_ = nullptr;
};

// A JSON error answer: {"error": reason}.
Response error_response(int status, const std::string& reason);

}  // namespace orvane::http
