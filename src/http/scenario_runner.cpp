#include "http/scenario_runner.hpp"

#include "http/station_actions.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <iostream>
#include <numeric>

namespace orvane::http {

using nlohmann::json;

struct ScenarioRunner::Run {
  Scenario scenario;
  std::vector<double> offsets;  // of each step, from the start
  std::vector<std::size_t> order;  // the steps by time, the file's order among equals
  SteadyTime::TimePoint start;
  LocalTime started_wall;
  std::size_t done = 0;
  std::size_t failed = 0;
  std::optional<std::string> running;
  std::optional<std::string> last_error;
};

namespace {

std::string iso_text(LocalTime t) {
  const auto c = civil(t);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
  return text;
}

}  // namespace

ScenarioRunner::ScenarioRunner(StationBoard& board, const Clock& clock, SteadyTime& steady,
                               std::chrono::milliseconds action_timeout, std::function<void(const std::string&)> report,
                               Threading threading)
    : board_(board),
      clock_(clock),
      steady_(steady),
      timeout_(action_timeout),
      report_(report ? std::move(report) : [](const std::string& line) { std::cerr << line + "\n"; }),
      alarm_(steady.make_alarm(ioc_)) {
  if (threading == Threading::own_thread) thread_ = std::thread([this] { ioc_.run(); });
}

void ScenarioRunner::poll() {
  ioc_.poll();
  ioc_.restart();
}

ScenarioRunner::~ScenarioRunner() {
  {
    std::lock_guard lock(mutex_);
    run_.reset();
    ++generation_;
  }
  asio::post(ioc_, [this] {
    alarm_->cancel();
    work_.reset();
  });
  if (thread_.joinable())
    thread_.join();
  else
    poll();
}

void ScenarioRunner::start(Scenario scenario) {
  auto run = std::make_shared<Run>();
  run->started_wall = clock_.now();
  run->offsets = step_offsets(scenario, run->started_wall);
  check_scenario(scenario, board_);
  run->order.resize(scenario.steps.size());
  std::iota(run->order.begin(), run->order.end(), std::size_t{0});
  std::stable_sort(run->order.begin(), run->order.end(),
                   [&](std::size_t a, std::size_t b) { return run->offsets[a] < run->offsets[b]; });
  run->scenario = std::move(scenario);
  run->start = steady_.now();
  report_("scenario " + run->scenario.name + " (seed " + std::to_string(run->scenario.seed) +
          "): " + std::to_string(run->scenario.steps.size()) + " steps, started");
  {
    std::lock_guard lock(mutex_);
    run_ = std::move(run);
    ++generation_;
  }
  asio::post(ioc_, [this] { arm(); });
}

void ScenarioRunner::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!run_) return;
    run_.reset();
    ++generation_;
  }
  asio::post(ioc_, [this] { arm(); });
}

void ScenarioRunner::arm() {
  std::unique_lock lock(mutex_);
  if (!run_ || run_->done >= run_->order.size()) {
    lock.unlock();
    alarm_->cancel();
    return;
  }
  const auto offset = std::chrono::duration<double>(run_->offsets[run_->order[run_->done]]);
  const auto at = run_->start + std::chrono::duration_cast<SteadyTime::Duration>(offset);
  const auto generation = generation_;
  lock.unlock();
  alarm_->set(at, [this, generation] { take_step(generation); });
}

void ScenarioRunner::take_step(std::uint64_t generation) {
  std::unique_lock lock(mutex_);
  if (generation != generation_ || !run_ || run_->done >= run_->order.size()) return;
  const auto run = run_;  // kept whole while the step runs, replaced or not
  const auto& step = run->scenario.steps[run->order[run->done]];
  const std::string text = run->scenario.step_text(step);
  run->running = text;
  lock.unlock();

  // Chosen and checked now, as an API request would be: the stations may
  // have changed since the scenario was loaded.
  Response answer;
  try {
    const auto targets = select_stations(board_, step.select_json());
    answer = checked_run(board_, targets, parse_action(step.action_json(), run->scenario.seed), timeout_);
  } catch (const RequestRefused& r) {
    answer = {r.status, "text/plain", r.reason};
  } catch (const std::exception& e) {
    answer = {500, "text/plain", e.what()};  // a step that can't be taken is the scenario's failure alone
  }

  lock.lock();
  run->running.reset();
  ++run->done;
  if (answer.status != 200) {
    ++run->failed;
    std::string body = answer.body;
    while (!body.empty() && body.back() == '\n') body.pop_back();
    run->last_error = text + ": " + body;
  }
  const bool current = generation == generation_;
  const bool finished = run->done == run->order.size();
  lock.unlock();
  if (answer.status != 200) report_("scenario " + run->scenario.name + ": step failed: " + *run->last_error);
  if (!current) return;
  if (finished)
    report_("scenario " + run->scenario.name + ": finished, " + std::to_string(run->done) + " steps, " +
            std::to_string(run->failed) + " failed");
  arm();
}

json ScenarioRunner::status() const {
  std::lock_guard lock(mutex_);
  if (!run_)
    return {{"loaded", false}, {"name", nullptr},    {"seed", nullptr},       {"steps", 0},
            {"done", 0},       {"running", nullptr}, {"started_at", nullptr}, {"next_at", nullptr}};
  const auto& r = *run_;
  json next = nullptr;
  if (r.done < r.order.size()) {
    const auto offset = std::chrono::duration<double>(r.offsets[r.order[r.done]]);
    next = iso_text(r.started_wall + std::chrono::duration_cast<std::chrono::milliseconds>(offset));
  }
  return {{"loaded", true},
          {"name", r.scenario.name},
          {"seed", r.scenario.seed},
          {"steps", r.order.size()},
          {"done", r.done},
          {"failed", r.failed},
          {"running", r.running ? json(*r.running) : json(nullptr)},
          {"started_at", iso_text(r.started_wall)},
          {"next_at", std::move(next)},
          {"last_error", r.last_error ? json(*r.last_error) : json(nullptr)}};
}

}  // namespace orvane::http
