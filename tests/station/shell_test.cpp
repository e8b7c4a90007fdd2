#include "fixture.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace orvane;
using orvane::test::StationFixture;
using orvane::test::write_text;

namespace {

using test::FakeConnection;
using test::RecordingListener;

}  // namespace

TEST(StationStartup, WithoutSettingsOrFlagItWaitsForSetConfig) {
  StationFixture f;
  RecordingListener listener;
  auto& s = f.make(&listener);
  s.start();
  EXPECT_EQ(listener.ports, std::vector<int>{5000});
  EXPECT_EQ(listener.allow_hosts, "");  // every host
  EXPECT_EQ(listener.max_hosts, 256);
  EXPECT_EQ(s.settings.factory_id, "F1");
  EXPECT_EQ(s.settings.sensor_id, "S1");
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_FALSE(s.clock_active());
  EXPECT_FALSE(s.sampling().read_timer().enabled() || s.sampling().event_timer().enabled() ||
               s.sampling().history_timer().enabled());
  EXPECT_EQ(s.sampling().history_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);
  EXPECT_EQ(f.log.last_line(), "Wait for Set Config...");
}

TEST(StationStartup, ConfiguredStationStartsWithoutWaiting) {
  StationFixture f;
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
  EXPECT_EQ(s.settings.factory_id, "F7");
  EXPECT_TRUE(s.clock_active());
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_FALSE(f.logged("Wait for Set Config..."));
}

TEST(StationStartup, AFailingStepEndsTheSequenceAndIsLogged) {
  StationFixture f;
  write_text(f.dir / "emulate.ini", "[Connection]\r\nClientPort=abc\r\n");
  write_text(f.dir / "sensor.con", ",T01,A,I,Y,0,100\r\n");
  RecordingListener listener;
  listener.fail = true;
  auto& s = f.make(&listener);
  s.start();
  EXPECT_EQ(listener.ports, std::vector<int>{5000});  // "abc" falls back to the default
  EXPECT_EQ(f.log.last_line(), "Error : bind: Address already in use");
  EXPECT_EQ(s.sensor_table.cell(1, 1), "");  // later steps did not run
  EXPECT_FALSE(s.clock_active());
  EXPECT_FALSE(f.logged("Wait for Set Config..."));
}

TEST(StationStartup, AutoStartThatCannotOpenTheDeviceLineEndsStopped) {
  StationFixture f;
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
  StationFixture f;
  auto& s = f.make();

  s.settings.history_sample.text = "500";
  s.settings.event_sample.text = "2000";
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().read_timer().interval(), 500);
  EXPECT_EQ(s.sampling().history_timer().interval(), 500);
  EXPECT_EQ(s.sampling().event_timer().interval(), 2000);

  s.settings.history_sample.text = "0";
  s.settings.event_sample.text = "";
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().history_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);
  EXPECT_EQ(s.sampling().read_timer().interval(), 1000);

  s.settings.history_sample.text = "  750ms";  // leading blanks, digits up to the first non-digit
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().history_timer().interval(), 750);
  s.settings.event_sample.text = "-5";  // a sign is not a digit: no digits, so 1000 ms
  s.apply_sampling_intervals();
  EXPECT_EQ(s.sampling().event_timer().interval(), 1000);

  // A realtime period shorter than both sampling intervals sets the read
  // cycle's while realtime runs.
  s.settings.history_sample.text = "5000";
  s.settings.event_sample.text = "4000";
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
  StationFixture f;
  auto& s = f.make();
  s.guarded([] { throw std::runtime_error("boom"); });
  s.guarded([] { throw 42; });
  EXPECT_EQ(f.memo(), (std::vector<std::string>{"Error : boom", "Error : unknown error"}));
}

TEST(Station, RestartAndPowerOffGoThroughThePowerControl) {
  StationFixture f;
  auto& s = f.make();
  EXPECT_TRUE(s.restart_or_power_off(PowerAction::reboot));
  f.power.result = false;
  EXPECT_FALSE(s.restart_or_power_off(PowerAction::power_off));
  EXPECT_EQ(f.power.requests, (std::vector<PowerAction>{PowerAction::reboot, PowerAction::power_off}));
}

TEST(AutoStartFile, ReadAndWriteRules) {
  StationFixture f;
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
  StationFixture f;
  f.clock.set(make_local_time(2006, 12, 31, 23, 58, 59, 900));
  StationClock clock(f.ioc, f.clock);
  std::vector<std::string> seen;
  clock.on_hour_change([&](LocalTime last, LocalTime now) {
    seen.push_back("hour " + stamp_yyyymmddhhnn(last) + "->" + stamp_yyyymmddhhnn(now));
  });
  clock.on_minute_change([&](LocalTime last, LocalTime now) {
    seen.push_back("minute " + stamp_hh_nn_ss(last) + "->" + stamp_hh_nn_ss(now));
  });
  clock.set_active(true);
  f.clock.advance(std::chrono::milliseconds(50));
  clock.tick();
  EXPECT_TRUE(seen.empty());
  f.clock.advance(std::chrono::milliseconds(250));
  clock.tick();  // 23:59:00.200
  f.clock.advance(std::chrono::seconds(59) + std::chrono::milliseconds(700));
  clock.tick();  // 23:59:59.900
  f.clock.advance(std::chrono::milliseconds(250));
  clock.tick();  // 00:00:00.150 next year
  EXPECT_EQ(seen, (std::vector<std::string>{"minute 23:58:59->23:59:00", "hour 200612312359->200701010000",
                                            "minute 23:59:59->00:00:00"}));
}

TEST(StationTimerTest, TicksPeriodicallyOnlyWhileEnabled) {
  asio::io_context ioc;
  StationTimer timer(ioc, "t");
  int ticks = 0;
  timer.set_handler([&] {
    if (++ticks == 3) timer.set_enabled(false);
  });
  timer.set_interval(5);
  timer.set_enabled(true);
  ioc.run_for(std::chrono::milliseconds(500));
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(timer.enabled());
}
