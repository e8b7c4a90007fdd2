// The data mode and the three sampling timers, switched by one function.
#include "station/sampling.hpp"
#include "support/manual_steady_time.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using namespace std::chrono_literals;

namespace {

struct SamplingRig : ::testing::Test {
  asio::io_context ioc;
  test::ManualSteadyTime steady;
  Sampling sampling{ioc, steady};
  int reads = 0;

  SamplingRig() {
    sampling.set_handlers({.on_read_tick = [this] { ++reads; }});
  }

  int running() const {
    return sampling.read_timer().enabled() + sampling.event_timer().enabled() + sampling.history_timer().enabled();
  }
};

}  // namespace

TEST_F(SamplingRig, TimersRunWhileReadingAndNewPeriodsKeepThatRule) {
  sampling.set_periods(500ms, 2000ms, 400ms);
  EXPECT_EQ(sampling.mode(), DataMode::stopped);
  EXPECT_EQ(running(), 0);
  EXPECT_EQ(sampling.read_timer().interval(), 400);
  EXPECT_EQ(sampling.history_timer().interval(), 500);
  EXPECT_EQ(sampling.event_timer().interval(), 2000);

  sampling.change(SamplingChange::start_reading);
  EXPECT_EQ(sampling.mode(), DataMode::reading);
  EXPECT_EQ(reads, 1);  // one reading at once
  EXPECT_EQ(running(), 3);

  sampling.set_periods(1000ms, 1000ms, 1000ms);
  EXPECT_EQ(running(), 3);
  sampling.change(SamplingChange::hold);
  EXPECT_EQ(running(), 0);
  EXPECT_EQ(sampling.mode(), DataMode::reading);
  sampling.change(SamplingChange::resume_mode);
  EXPECT_EQ(running(), 3);

  sampling.change(SamplingChange::stop);
  EXPECT_EQ(sampling.mode(), DataMode::stopped);
  EXPECT_EQ(running(), 0);
  sampling.set_periods(1000ms, 1000ms, 1000ms);
  sampling.change(SamplingChange::resume_mode);
  EXPECT_EQ(running(), 0);
  EXPECT_EQ(reads, 1);
}

TEST_F(SamplingRig, RefreshedLabelsRunTheTimersEvenWhenStopped) {
  sampling.change(SamplingChange::resume_all);
  EXPECT_EQ(running(), 3);
  EXPECT_EQ(sampling.mode(), DataMode::stopped);
  EXPECT_EQ(reads, 0);
}

TEST_F(SamplingRig, TheTimersTickTheirHandlersAtTheirPeriods) {
  int checks = 0, samples = 0;
  sampling.set_handlers({[this] { ++reads; }, [&] { ++checks; }, [&] { ++samples; }});
  sampling.set_periods(40ms, 40ms, 20ms);
  sampling.change(SamplingChange::start_reading);
  steady.advance(200ms);
  EXPECT_EQ(reads, 1 + 10);  // one at once, then every 20 ms
  EXPECT_EQ(checks, 5);
  EXPECT_EQ(samples, 5);
  sampling.change(SamplingChange::stop);
  steady.advance(50ms);
  EXPECT_EQ(reads, 11);
  EXPECT_EQ(steady.pending(), 0u);
}
