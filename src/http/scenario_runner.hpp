// Runs a scenario's timeline on a thread of its own: at each step's time
// it selects the stations on the board and posts the step's action to
// their threads, as the control API does, waiting a bounded time for
// their answers. A station thread never waits on it. Step times come from
// the injected steady time, wall times from the injected clock.
#pragma once
#include "core/limits.hpp"
#include "http/scenario_file.hpp"
#include "http/station_board.hpp"
#include "platform/clock.hpp"
#include "platform/steady_time.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orvane::http {

class ScenarioRunner {
 public:
  // Who runs the timeline: a thread of the runner's own, or the caller
  // through poll() (a test moving manual time on one thread).
  enum class Threading { own_thread, caller_polls };

  // `report` hears each step that failed and each scenario started and
  // ended, as a line (default: standard error).
  ScenarioRunner(StationBoard& board, const Clock& clock, SteadyTime& steady,
                 std::chrono::milliseconds action_timeout = std::chrono::milliseconds(limits::kHttpActionTimeoutMs),
                 std::function<void(const std::string&)> report = {}, Threading threading = Threading::own_thread);
  ~ScenarioRunner();  // ends the scenario; a step under way finishes first
  ScenarioRunner(const ScenarioRunner&) = delete;
  ScenarioRunner& operator=(const ScenarioRunner&) = delete;

  // Checks `scenario` against the stations on the board and starts it now
  // in place of the one loaded: that one's steps not yet taken are dropped
  // (a step under way finishes), what its steps did stays. Throws
  // ScenarioError, and then the one loaded goes on.
  void start(Scenario scenario);
  // Ends the scenario loaded; its steps not yet taken are dropped.
  void stop();
  // GET /api/v1/scenario: {"loaded", "name", "seed", "steps", "done",
  // "failed", "running", "started_at", "next_at", "last_error"}.
  nlohmann::json status() const;
  // With Threading::caller_polls: does what start() and stop() left to do.
  void poll();

 private:
  struct Run;
  void arm();  // on the runner's thread
  void take_step(std::uint64_t generation);

  StationBoard& board_;
  const Clock& clock_;
  SteadyTime& steady_;
  std::chrono::milliseconds timeout_;
  std::function<void(const std::string&)> report_;

  mutable std::mutex mutex_;
  std::shared_ptr<Run> run_;  // null: none loaded
  std::uint64_t generation_ = 0;  // a new one for each start and stop

  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(ioc_);
  std::unique_ptr<SteadyTime::Alarm> alarm_;
  std::thread thread_;
};

}  // namespace orvane::http
