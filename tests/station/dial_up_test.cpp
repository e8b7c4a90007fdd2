#include "station/dial_up.hpp"
#include "platform/icmp_pinger.hpp"
#include "station/event_delivery.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>

using namespace orvane;
using orvane::test::RecordingUplink;
using orvane::test::TempDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using test::CountingPinger;
using test::ScriptedDialer;

struct DialRig {
  TempDir dir;
  EventBuffer buffer;
  test::ManualClock clock;
  ScriptedDialer dialer;
  RecordingUplink uplink;
  std::atomic<bool> online{false};
  std::mutex mutex;
  std::vector<std::string> log;
  test::ManualSteadyTime steady;  // pauses take no time
  Pinger* pinger = nullptr;
  std::unique_ptr<EventDelivery> delivery;

  explicit DialRig(int events = 1, Pinger* p = nullptr) : pinger(p) {
    buffer.load(dir / "Event.Sav");
    for (int i = 0; i < events; ++i) buffer.add("event" + std::to_string(i));
    delivery = std::make_unique<EventDelivery>(
        buffer,
        [this](std::string l) {
          std::lock_guard g(mutex);
          log.push_back(std::move(l));
        },
        clock, &uplink, &dialer, pinger, online, steady);
  }
  DeliverySettings settings(bool by_ping = false) {
    DeliverySettings s;
    s.dial_up = true;
    s.dial = DialSettings{"555123", "Guest", "Tulip", "127.0.0.1", by_ping};
    return s;
  }
  std::vector<std::string> run(bool by_ping = false) {
    delivery->check_and_send(settings(by_ping));
    delivery->join_worker();
    std::lock_guard g(mutex);
    return std::exchange(log, {});
  }
};

}  // namespace

TEST(DialUp, TheWorkerDialsUploadsAndHangsUp) {
  DialRig rig(2);
  EXPECT_THAT(rig.run(), ElementsAre("Dial : Start dial", "Dial : dial OK", "Send : 2 Events",
                                     "Events : Send Completed", "Dial : Do HangUp."));
  EXPECT_THAT(rig.dialer.calls, ElementsAre("dial vrn 555123 Guest Tulip", "hang up 7"));
  EXPECT_THAT(rig.uplink.stored, ElementsAre("event0", "event1"));
  EXPECT_TRUE(rig.buffer.empty());
  EXPECT_FALSE(rig.online);
}

TEST(DialUp, NothingIsDialledWithoutAPhonebookEntryAndFailuresKeepTheBuffer) {
  DialRig rig;
  rig.dialer.entries = {" "};
  EXPECT_THAT(rig.run(), ElementsAre("Dial : Start dial", "Dial : Not Connect"));
  EXPECT_THAT(rig.dialer.calls, IsEmpty());

  rig.dialer.entries = {"vrn"};
  rig.dialer.dial_error = DialError("The connect script failed", 9);
  EXPECT_THAT(rig.run(), ElementsAre("Dial : Start dial", "Dial : RasDial failed: The connect script failed",
                                     "Dial : Not Connect"));
  EXPECT_THAT(rig.dialer.calls, ElementsAre("dial vrn 555123 Guest Tulip", "hang up 9"));
  EXPECT_EQ(rig.buffer.size(), 1u);
  EXPECT_FALSE(rig.online);
}

TEST(DialUp, StateWatchingConfirmsOnConnectedOrGivesUpOnLongAuthentication) {
  DialRig rig;
  rig.dialer.states = {2, 5, 14};
  rig.run();
  EXPECT_EQ(rig.dialer.looks, 3u + 1u);  // three rounds, then the hang-up's look
  const std::vector<SteadyTime::Duration> one_second(2 + 1, std::chrono::seconds(1));
  EXPECT_EQ(rig.steady.pauses(), one_second);  // between rounds, and after the hang-up

  DialRig stuck;
  stuck.dialer.states = {6, 7, 8, 9, 10, 11, 12, 13, 6, 7, 8, 9};
  const auto log = stuck.run();
  EXPECT_THAT(log, ElementsAre("Dial : Start dial", "dial : break loop Authen", "Dial : dial OK", "Send : 1 Events",
                               "Events : Send Completed", "Dial : Do HangUp."));
  EXPECT_EQ(stuck.dialer.looks, 11u + 1u);
}

TEST(DialUp, PingConfirmsTheLinkAtTheFirstReply) {
  IcmpPinger real;
  CountingPinger counting(&real);
  DialRig rig(1, &counting);
  rig.run(true);
  EXPECT_EQ(counting.pings, 1);
  EXPECT_EQ(rig.dialer.looks, 1u);  // only the hang-up looked at the state

  CountingPinger never;
  DialRig silent(1, &never);
  silent.run(true);
  EXPECT_EQ(never.pings, DialUp::kConfirmRounds);
}

TEST(DialUp, ATickWhileTheWorkerRunsStartsNoSecondOne) {
  DialRig rig;
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  int dials = 0;
  rig.dialer.during_dial = [&] {
    std::unique_lock lock(m);
    ++dials;
    cv.wait(lock, [&] { return release; });
  };
  rig.delivery->check_and_send(rig.settings());
  ASSERT_TRUE(orvane::test::wait_until([&] {
    std::lock_guard g(m);
    return dials == 1;
  }));
  rig.delivery->check_and_send(rig.settings());
  EXPECT_TRUE(rig.delivery->worker_running());
  {
    std::lock_guard g(m);
    release = true;
  }
  cv.notify_all();
  rig.delivery->join_worker();
  EXPECT_EQ(dials, 1);
  EXPECT_FALSE(rig.delivery->worker_running());
}

TEST(DialUp, AnExistingLinkIsReportedAndADisconnectedOneHungUp) {
  DialRig rig;
  rig.dialer.linked = true;
  rig.dialer.states = {kDialStateConnected};
  EXPECT_THAT(rig.run(), ElementsAre("Dial Status : Connected"));

  rig.dialer.states = {kDialStateDisconnected};
  rig.dialer.looks = 0;
  EXPECT_THAT(rig.run(), ElementsAre("Dial : Do HangUp.", "Dial Status : Disconnected"));
  EXPECT_FALSE(rig.dialer.linked);
}

TEST(DialUp, HangUpAllLogsOnlyWhatHappened) {
  DialRig rig;
  auto& dial_up = *rig.delivery->dial_up();
  dial_up.hang_up_all();
  EXPECT_THAT(rig.log, IsEmpty());

  rig.dialer.linked = true;
  rig.dialer.hang_up_fails = true;
  dial_up.hang_up_all();
  EXPECT_THAT(rig.log, ElementsAre("Dial : No HangUp.", "Dial : No HangUp."));

  rig.log.clear();
  rig.dialer.listing_fails = true;
  dial_up.hang_up_all();
  EXPECT_THAT(rig.log, ElementsAre("RasEnumConnections failed."));
  EXPECT_EQ(dial_up.connection_state().any, false);
}
