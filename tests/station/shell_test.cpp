#include "support/manual_steady_time.hpp"
#include "support/station_test.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace orvane;
using orvane::test::StationTest;
using orvane::test::write_text;

namespace {

using test::FakeConnection;
using test::RecordingListener;

}  // namespace

TEST(StationStartup, WithoutSettingsOrFlagItWaitsForSetConfig) {
  StationTest f{{.deferred = true}};
  RecordingListener listener;
  auto& s = f.make(&listener);
  s.start();
  EXPECT_EQ(listener.ports, std::vector<int>{5000});
  EXPECT_EQ(listener.allow_hosts, "");  // every host
  EXPECT_EQ(listener.max_hosts, 256);
  EXPECT_EQ(s.settings().factory_id, "F1");
  EXPECT_EQ(s.settings().sensor_id, "S1");
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_FALSE(s.clock_active());
  EXPECT_FALSE(s.sampling().read_timer().enabled() || s.sampling().event_timer().enabled() ||
               s.sampling().history_timer().enabled());
  EXPECT_EQ(s.sampling().history_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);
  EXPECT_EQ(f.log.last_line(), "Wait for Set Config...");
}

TEST(StationStartup, ConfiguredStationStartsWithoutWaiting) {
  StationTest f{{.deferred = true}};
  f.flag.value = true;
  write_text(f.dir / "emulate.ini",
             "[connection]\r\nclientport=6000\r\nallowhosts=10.0.0.0/8, ::1\r\n"
             "MaxHosts=12\r\n[Config]\r\nFactoryID=F7\r\n");
  RecordingListener listener;
  auto& s = f.make(&listener);
  s.start();
  EXPECT_EQ(listener.ports, std::vector<int>{6000});
  EXPECT_EQ(listener.allow_hosts, "10.0.0.0/8, ::1");
  EXPECT_EQ(listener.max_hosts, 12);
  EXPECT_EQ(s.settings().factory_id, "F7");
  EXPECT_TRUE(s.clock_active());
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_FALSE(f.logged("Wait for Set Config..."));
}

TEST(StationStartup, HostLimitsThatCantBeUsedAreReportedWithWhatIsUsedInstead) {
  StationTest f{{.deferred = true}};
  write_text(f.dir / "emulate.ini", "[Connection]\r\nMaxHosts=lots\r\nIdleSeconds=99999\r\n");
  RecordingListener listener;
  f.make(&listener).start();
  EXPECT_EQ(listener.max_hosts, 256);
  EXPECT_TRUE(f.logged("Error : MaxHosts: \"lots\" is not a number; 256 hosts at most"));
  EXPECT_TRUE(f.logged("Error : IdleSeconds: \"99999\" is not a number from 0 to 86400; 90 s used"));
  write_text(f.dir / "emulate.ini", "[Connection]\r\nMaxHosts=0\r\nIdleSeconds=0\r\n");
  f.make(&listener).start();
  EXPECT_TRUE(f.logged("Error : MaxHosts: \"0\" is out of range (1 or more); 1 host at most"));
  EXPECT_EQ(f.count_logged("Error : IdleSeconds: \"99999\" is not a number from 0 to 86400; 90 s used"), 1u);
}

TEST(StationStartup, LineBreaksInTheIdentityReadFromTheFileAreBlanksAsAfterSetConfig) {
  // A hand-edited file: a line ending CR CR LF, a lone CR inside a value.
  StationTest f{{.configured = true, .deferred = true, .reading = true}};
  write_text(f.dir / "emulate.ini",
             "[Connection]\r\nHost=10.0.0.9\r\n[Config]\r\nFactoryID=F1\r\r\nSensorID=S\r7\r\n");
  auto& s = f.make();
  s.start();
  s.start_reading();
  EXPECT_EQ(s.settings().factory_id, "F1");
  EXPECT_EQ(s.settings().sensor_id, "S 7");
  // A host addresses it as after SET_CONFIG "F1" "S\r7" ...
  f.add_channel("TEMP01", "A", true, "350");
  EXPECT_NE(f.request({"READ_DATA 1 F1 \"S 7\""}), "");
  // ... and its events are buffered.
  f.row(1, "TEMP01", "A", "Y", {"100", "200", "300", "400"});
  f.value(1, "350");
  s.channel_table().panel(1).event_state = 1;
  f.advance(std::chrono::seconds(1));
  EXPECT_EQ(s.event_path().buffer().lines(),
            std::vector<std::string>{"\x01\x02"
                                     "EVENTA 200612071230 F1 F1S 7 TEMP01 IS 350\x03\x04"});
}

TEST(StationStartup, AFailingStepEndsTheSequenceAndIsLogged) {
  StationTest f{{.deferred = true}};
  write_text(f.dir / "emulate.ini", "[Connection]\r\nClientPort=abc\r\n");
  write_text(f.dir / "sensor.con", ",T01,A,I,Y,0,100\r\n");
  RecordingListener listener;
  listener.fail = true;
  auto& s = f.make(&listener);
  s.start();
  EXPECT_EQ(listener.ports, std::vector<int>{5000});  // "abc" falls back to the default
  EXPECT_EQ(f.log.last_line(), "Error : bind: Address already in use");
  EXPECT_EQ(s.channel_table().sensors().cell(1, 1), "");  // later steps did not run
  EXPECT_FALSE(s.clock_active());
  EXPECT_FALSE(f.logged("Wait for Set Config..."));
}

TEST(StationStartup, AutoStartThatCannotOpenTheDeviceLineEndsStopped) {
  StationTest f{{.deferred = true}};
  f.flag.value = true;
  write_text(f.dir / "auto.con", " 1 \r\n");
  write_text(f.dir / "emulate.ini", "[READ]\r\nPort=99\r\n");
  auto& s = f.make();
  EXPECT_TRUE(s.read_auto_start());
  s.start();
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_FALSE(s.sampling().read_timer().enabled());
}

TEST(SamplingIntervals, HistoryEventAndRealtimeRules) {
  StationTest f{{.deferred = true}};
  auto& s = f.make();

  s.settings().history_sample.text = "500";
  s.settings().event_sample.text = "2000";
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().read_timer().interval(), 500);
  EXPECT_EQ(s.sampling().history_timer().interval(), 500);
  EXPECT_EQ(s.sampling().event_timer().interval(), 2000);

  s.settings().history_sample.text = "0";
  s.settings().event_sample.text = "";
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().history_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().read_timer().interval(), 1000);

  s.settings().history_sample.text = "  750ms";  // leading blanks, digits up to the first non-digit
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().history_timer().interval(), 750);
  s.settings().event_sample.text = "-5";  // a sign is not a digit: no digits, so 1000 ms
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);

  // A realtime period shorter than both sampling intervals sets the read
  // cycle's while realtime runs.
  s.settings().history_sample.text = "5000";
  s.settings().event_sample.text = "4000";
  const auto host = std::make_shared<FakeConnection>();
  s.realtime().subscribe("H", "F1", "S1", host, 2, 60);
  EXPECT_EQ(s.sampling().read_timer().interval(), 2000);
  s.realtime().end_of(*host);
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().read_timer().interval(), 4000);

  s.stop_data();
  s.apply_sampling_intervals();
  EXPECT_FALSE(s.sampling().read_timer().enabled() || s.sampling().event_timer().enabled() ||
               s.sampling().history_timer().enabled());
}

TEST(Station, ExceptionsAtALoopEdgeAreLoggedAndTheStationCarriesOn) {
  StationTest f{{.deferred = true}};
  auto& s = f.make();
  s.guarded([] { throw std::runtime_error("boom"); });
  s.guarded([] { throw 42; });
  EXPECT_EQ(f.memo(), (std::vector<std::string>{"Error : boom", "Error : unknown error"}));
}

TEST(Station, RestartAndPowerOffGoThroughThePowerControl) {
  StationTest f{{.deferred = true}};
  auto& s = f.make();
  EXPECT_TRUE(s.restart_or_power_off(PowerAction::reboot));
  f.power.result = false;
  EXPECT_FALSE(s.restart_or_power_off(PowerAction::power_off));
  EXPECT_EQ(f.power.requests, (std::vector<PowerAction>{PowerAction::reboot, PowerAction::power_off}));
}

TEST(AutoStartFile, ReadAndWriteRules) {
  StationTest f{{.deferred = true}};
  auto& s = f.make();
  EXPECT_FALSE(s.read_auto_start());
  s.write_auto_start("1");
  EXPECT_FALSE(std::filesystem::exists(f.dir / "auto.con"));  // never created

  write_text(f.dir / "auto.con", "");
  EXPECT_FALSE(s.read_auto_start());
  s.write_auto_start("1");
  EXPECT_EQ(orvane::test::read_text(f.dir / "auto.con"), "");  // no first line: left alone

  write_text(f.dir / "auto.con", "0\r\nkeep\r\n");
  EXPECT_FALSE(s.read_auto_start());
  s.write_auto_start("1");
  EXPECT_EQ(orvane::test::read_text(f.dir / "auto.con"), "1\r\nkeep\r\n");
  EXPECT_TRUE(s.read_auto_start());
}

TEST(StationClockTest, SignalsMinuteAndHourChangesWithTheLastTickTime) {
  StationTest f{{.deferred = true}};
  f.clock.set(make_local_time(2006, 12, 31, 23, 58, 59, 900));
  test::ManualSteadyTime steady;
  StationClock clock(f.ioc, steady, f.clock);
  std::vector<std::string> seen;
  clock.on_hour_change([&](LocalTime last, LocalTime now) {
    seen.push_back("hour " + stamp_yyyymmddhhnn(last) + "->" + stamp_yyyymmddhhnn(now));
  });
  clock.on_minute_change([&](LocalTime last, LocalTime now) {
    seen.push_back("minute " + stamp_hh_nn_ss(last) + "->" + stamp_hh_nn_ss(now));
  });
  // The wall clock moves with the steady one, a tick every 250 ms.
  const auto run = [&](int ticks) {
    for (int i = 0; i < ticks; ++i) {
      f.clock.advance(std::chrono::milliseconds(250));
      steady.advance(std::chrono::milliseconds(250));
    }
  };
  clock.set_active(true);
  steady.advance(std::chrono::milliseconds(249));
  f.clock.advance(std::chrono::seconds(1));
  steady.advance(std::chrono::milliseconds(1));  // a tick: 23:59:00.900
  EXPECT_EQ(seen, std::vector<std::string>{"minute 23:58:59->23:59:00"});
  run(235);  // to 23:59:59.650
  EXPECT_EQ(seen.size(), 1u);
  run(2);  // 23:59:59.900, 00:00:00.150 next year
  clock.set_active(false);
  run(1000);  // stopped: no ticks
  EXPECT_EQ(seen, (std::vector<std::string>{"minute 23:58:59->23:59:00", "hour 200612312359->200701010000",
                                            "minute 23:59:59->00:00:00"}));
}

TEST(StationTimerTest, TicksPeriodicallyOnlyWhileEnabled) {
  asio::io_context ioc;
  test::ManualSteadyTime steady;
  StationTimer timer(ioc, steady, "t");
  std::vector<SteadyTime::TimePoint> ticks;
  timer.set_handler([&] {
    ticks.push_back(steady.now());
    if (ticks.size() == 3) timer.set_enabled(false);
  });
  timer.set_interval(5);
  const auto t0 = steady.now();
  timer.set_enabled(true);
  steady.advance(std::chrono::milliseconds(500));
  using std::chrono::milliseconds;
  EXPECT_EQ(ticks, (std::vector{t0 + milliseconds(5), t0 + milliseconds(10), t0 + milliseconds(15)}));
  EXPECT_FALSE(timer.enabled());
  EXPECT_EQ(steady.pending(), 0u);

  // A new interval restarts the period from now.
  ticks.clear();
  timer.set_enabled(true);
  steady.advance(std::chrono::milliseconds(3));
  const auto t1 = steady.now();
  timer.set_interval(20);
  steady.advance(std::chrono::milliseconds(41));
  EXPECT_EQ(ticks, (std::vector{t1 + milliseconds(20), t1 + milliseconds(40)}));
}

// The real alarms: a set alarm fires once on the io_context; one set again or
// cancelled before it ran does not fire, even when its time had come.
TEST(StationTimerTest, RealAlarmsFireOnceAndNotAfterBeingCancelled) {
  asio::io_context ioc;
  auto alarm = real_steady_time().make_alarm(ioc);
  int fired = 0, fired_late = 0;
  alarm->set(real_steady_time().now(), [&] { ++fired; });
  ioc.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(fired, 1);

  alarm->set(real_steady_time().now(), [&] { ++fired; });
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // its time has come
  alarm->set(real_steady_time().now() + std::chrono::milliseconds(5), [&] { ++fired_late; });
  ioc.restart();
  ioc.run_for(std::chrono::milliseconds(100));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(fired_late, 1);

  alarm->set(real_steady_time().now(), [&] { ++fired; });
  alarm->cancel();
  ioc.restart();
  ioc.run_for(std::chrono::milliseconds(20));
  EXPECT_EQ(fired, 1);
}
