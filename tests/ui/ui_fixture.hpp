// A QApplication on the offscreen platform and a real Station whose
// io_context runs on its own thread, as in the windowed program.
#pragma once
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <QApplication>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace orvane::test {

QApplication& qt_app();

// Runs the Qt loop until `done` holds or the timeout passes.
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

class RunningStation {
 public:
  RunningStation()
      : work_(asio::make_work_guard(ioc_)),
        log_(ioc_),
        station_(ioc_, log_, StationDeps{clock_, flag_, power_, nullptr, &line_}, dir_.path()) {
    thread_ = std::thread([this] {
      log_.bind_to_current_thread();
      ioc_.run();
    });
  }
  ~RunningStation() {
    work_.reset();
    ioc_.stop();
    thread_.join();
  }

  Station& station() { return station_; }
  const TempDir& dir() const { return dir_; }

  // Runs f on the station thread and waits for its result.
  template <class F>
  auto on_station(F f) -> decltype(f(std::declval<Station&>())) {
    std::packaged_task<decltype(f(std::declval<Station&>()))()> task([&] { return f(station_); });
    auto result = task.get_future();
    asio::post(ioc_, [&task] { task(); });
    return result.get();
  }

 private:
  TempDir dir_;
  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  ManualClock clock_;
  MemoryFlag flag_{true};
  RecordingPower power_{false};
  ScriptedDeviceLine line_{ioc_};  // opens, has no modules
  OperatorLog log_;
  Station station_;
  std::thread thread_;
};

}  // namespace orvane::test
