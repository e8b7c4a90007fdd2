// An injected uplink fault plays a host that refuses, swallows or crawls,
// without the real client (or host) seeing what the fault keeps from it.
#include "station/faulty_uplink.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_doubles.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
using namespace std::chrono_literals;

TEST(FaultyUplink, PlaysAHostThatRefusesSwallowsOrCrawls) {
  RecordingUplink real;
  ManualSteadyTime time;
  std::atomic<bool> cancelled{false};
  const UplinkFaultWaits waits{15s, 3s, 5s};
  const auto failure = [](auto&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no failure");
  };

  FaultyUplink refused(real, {UplinkFault::Kind::refusing}, time, cancelled, waits);
  EXPECT_EQ(failure([&] { refused.connect({}); }), "FTP: Couldn't connect to server");
  EXPECT_FALSE(refused.connected());
  EXPECT_EQ(real.connects, 0);

  // Swallowed: each step sits out the client's time-out, on the upload's
  // thread, and ends as a time-out.
  const auto start = time.now();
  FaultyUplink swallowed(real, {UplinkFault::Kind::black_hole}, time, cancelled, waits);
  EXPECT_EQ(failure([&] { swallowed.connect({}); }), "FTP: Timeout was reached");
  EXPECT_EQ(time.now() - start, 15s);
  EXPECT_EQ(real.connects, 0);

  // Slow: a store takes its bytes' time at the rate, then happens; one that
  // would take longer than a transfer may fails as a timed-out one.
  FaultyUplink slow(real, {UplinkFault::Kind::slow, 1000}, time, cancelled, waits);
  slow.connect({});
  ASSERT_TRUE(slow.connected());
  const auto before = time.now();
  slow.store("a", std::string(2500, 'x'));
  EXPECT_EQ(time.now() - before, 2500ms);
  EXPECT_EQ(real.stored.size(), 1u);
  EXPECT_EQ(failure([&] { slow.store("b", std::string(6000, 'x')); }), "FTP: Timeout was reached");
  EXPECT_EQ(real.stored.size(), 1u);

  // The station closing ends a wait at once.
  cancelled = true;
  EXPECT_EQ(failure([&] { swallowed.connect({}); }), "FTP: the station is closing");
}
