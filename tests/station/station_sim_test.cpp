// A whole station reading simulated modules over a real pty: started with
// the configured flag set and auto.con "1", its COM port 3 mapped onto the
// simulator's link.
#include "device/serial_poller.hpp"
#include "station/station.hpp"
#include "support/heartbeat.hpp"
#include "support/manual_clock.hpp"
#include "support/sim_process.hpp"
#include "support/station_doubles.hpp"
#include "support/station_test.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <algorithm>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using test::write_text;

// The station test object on the machine's steady time, reading a
// simulator's modules over a pty on COM port 3.
struct SimStation : test::StationTest {
  test::SimProcess sim;
  SerialModulePoller serial;

  // `read_keys`: more lines of the [READ] section of emulate.ini.
  explicit SimStation(std::vector<std::string> sim_args, const std::string& read_keys = "")
      : StationTest({.configured = true, .deferred = true, .real_time = true}),
        sim(dir / "i7000", std::move(sim_args)),
        serial(ioc, ComPortMap{{3, (dir / "i7000").string()}}) {
    power.result = false;
    write_text(dir / "emulate.ini",
               "[Config]\r\nHistorySample=50\r\nEventSample=50\r\n[READ]\r\nPort=3\r\n" + read_keys);
    write_text(dir / "module.con", "1,4017,A,1,Y\r\n2,4017,A,2,Y\r\n");
    write_text(dir / "channel.con", "T01,A,I,1,1,3,Y\r\nT02,A,I,1,1,0,Y\r\nT03,A,I,2,2,7,Y\r\n");
    write_text(dir / "sensor.con", "1,T01,A,I,Y,0,1000\r\n2,T02,A,I,Y,0,1000\r\n3,T03,A,I,Y,-100,100\r\n");
    write_text(dir / "auto.con", "1\r\n");
    make(nullptr, &serial);
  }
  ~SimStation() { destroy(); }  // before the line it reads through goes
  // Runs the station's loop until `done` holds (or `limit` passes).
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    ioc.restart();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ioc.run_one_for(20ms);
    }
    return true;
  }
  // Starts the station and waits for its first read cycle to be applied.
  bool start_and_read() {
    station().start();
    return run_until([&] { return !station().acquisition().polling(); });
  }
  long logged(const std::string& text) const { return static_cast<long>(count_logged(text)); }
  long logged_containing(const std::string& text) const {
    return std::count_if(log.memo().begin(), log.memo().end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }
};

TEST(StationWithSimulator, ReadsSimulatedModulesIntoTheChannelsAndStops) {
  SimStation s({"--module", "1", "--module", "2", "--input", "1:*=const:4", "--input", "1:3=const:12.5", "--input",
                "2:7=const:-3"});
  auto& st = s.station();
  st.start();
  EXPECT_EQ(st.data_mode(), DataMode::reading);
  // The first cycle went out during start-up; it is applied once its reads are in.
  EXPECT_TRUE(st.acquisition().polling());
  ASSERT_TRUE(s.run_until([&] { return st.channel_table().panel(1).value == "625"; }));
  EXPECT_EQ(st.channel_table().panel(1).shown, "12.5");
  EXPECT_EQ(st.channel_table().panel(2).value, "200");
  EXPECT_EQ(st.channel_table().panel(2).shown, "4");
  EXPECT_EQ(st.channel_table().panel(3).value, "-100");
  EXPECT_EQ(st.channel_table().panel(3).shown, "-3");
  EXPECT_EQ(s.logged("The Error Code:15\rTime Out"), 0);

  // The read cycle picks up a change at the simulator.
  ASSERT_TRUE(s.sim.command("1 3 5"));
  ASSERT_TRUE(s.run_until([&] { return st.channel_table().panel(1).value == "250"; }));
  EXPECT_EQ(st.channel_table().panel(1).shown, "5");

  st.stop_data();
  EXPECT_EQ(st.data_mode(), DataMode::stopped);
  ASSERT_TRUE(s.sim.command("1 3 6"));
  s.run_until([] { return false; }, 200ms);  // several read intervals: nothing may be read while stopped
  EXPECT_EQ(st.channel_table().panel(1).value, "250");
}

TEST(StationWithSimulator, SilentModuleAndVanishingLine) {
  SimStation s({"--module", "1", "--module", "2", "--input", "1:*=const:10", "--fault", "2=silent"});
  auto& st = s.station();
  st.start();
  ASSERT_EQ(st.data_mode(), DataMode::reading);
  ASSERT_TRUE(s.run_until([&] { return !st.acquisition().polling(); }));
  EXPECT_EQ(st.channel_table().panel(1).value, "500");
  EXPECT_EQ(st.channel_table().panel(3).value, "0");  // from the untouched result area: 0.00000
  EXPECT_EQ(s.logged("The Error Code:15\rTime Out"), 1);

  // The other side of the line goes away: every cycle reports it, the
  // station keeps running and keeps its values.
  s.sim.stop(SIGKILL);
  ASSERT_TRUE(s.run_until([&] { return s.logged("The Error Code:10\rSend Command Error") >= 6; }));
  EXPECT_EQ(st.data_mode(), DataMode::reading);
  EXPECT_EQ(st.channel_table().panel(1).value, "500");

  // A new start cannot open the vanished device: logged, and stopped.
  st.start_reading();
  EXPECT_EQ(s.logged("OPEN_COM Error Code:2\rPort Error"), 1);
  EXPECT_EQ(st.data_mode(), DataMode::stopped);
}

TEST(StationWithSimulator, ChecksumModeFollowsTheReadSection) {
  // Modules set up for checksums: read with [READ] Checksum=1.
  {
    SimStation s({"--checksum", "--module", "1", "--module", "2", "--input", "1:*=const:8", "--input", "2:7=const:2"},
                 "Checksum=1\r\n");
    ASSERT_TRUE(s.start_and_read());
    EXPECT_EQ(s->channel_table().panel(2).value, "400");
    EXPECT_EQ(s->channel_table().panel(3).value, "-80");
    EXPECT_EQ(s.logged_containing("Error Code"), 0);
    // A module that answers with a wrong checksum is caught.
    ASSERT_TRUE(s.sim.command("fault 1 badsum"));
    ASSERT_TRUE(s.run_until([&] { return s.logged("The Error Code:7\rCheckSum Error") >= 1; }));
  }
  // The default (no checksum) against checksum modules: they ignore requests
  // without a valid sum, so every read times out.
  {
    SimStation s({"--checksum", "--module", "1", "--module", "2"});
    ASSERT_TRUE(s.start_and_read());
    EXPECT_EQ(s.logged("The Error Code:15\rTime Out"), 2);
    EXPECT_EQ(s->channel_table().panel(2).value, "0");
  }
  // Checksums asked of modules without them: the request is no command they know
  {
    SimStation s({"--module", "1", "--module", "2", "--input", "1:*=const:8"}, "Checksum=1\r\n");
    ASSERT_TRUE(s.start_and_read());
    // (they answer "?AA", which carries no valid sum).
    EXPECT_EQ(s.logged("The Error Code:7\rCheckSum Error"), 2);
    EXPECT_EQ(s->channel_table().panel(2).value, "0");
  }
}

TEST(StationWithSimulator, ReplyTimeoutFollowsTheReadSection) {
  // Replies 600 ms late: the default 200 ms gives up, Timeout=1500 waits for them.
  {
    SimStation s({"--delay", "600", "--module", "1", "--module", "2", "--input", "1:*=const:8"});
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.start_and_read());
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(s.logged("The Error Code:15\rTime Out"), 2);
    EXPECT_LT(took, 1200ms);  // two modules, about 200 ms each
  }
  {
    SimStation s({"--delay", "600", "--module", "1", "--module", "2", "--input", "1:*=const:8"}, "Timeout=1500\r\n");
    ASSERT_TRUE(s.start_and_read());
    EXPECT_EQ(s.logged("The Error Code:15\rTime Out"), 0);
    EXPECT_EQ(s->channel_table().panel(2).value, "400");
  }
}

TEST(StationWithSimulator, SilentModulesLeaveTheStationThreadFree) {
  SimStation s({"--module", "1", "--module", "2", "--input", "1:*=const:10", "--input", "2:*=const:2", "--fault",
                "1=silent", "--fault", "2=silent"});
  auto& st = s.station();
  st.start();
  ASSERT_EQ(st.data_mode(), DataMode::reading);
  // A cycle of two silent modules takes 400 ms; the read tick comes every
  // 50 ms. Meanwhile the loop's other work goes on: a 5 ms heartbeat on the
  // station thread is never held up for a cycle (a cycle read on that
  // thread would hold it 400 ms; the margin is for a loaded machine).
  test::Heartbeat beat(s.ioc, 5ms);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(s.run_until([&] { return s.logged("The Error Code:15\rTime Out") >= 6; }));
  const auto took = std::chrono::steady_clock::now() - t0;
  beat.stop();
  EXPECT_LT(beat.worst(), 300ms);
  // Ticks that came while a cycle was out were skipped, not queued: three
  // whole cycles, one after the other.
  EXPECT_GE(took, 1000ms);
  EXPECT_EQ(s.logged("The Error Code:15\rTime Out") % 2, 0);
  EXPECT_EQ(st.channel_table().panel(1).value, "0");  // the result area was never filled

  // The modules answer again: the next cycle brings their values.
  ASSERT_TRUE(s.sim.command("fault 1 none"));
  ASSERT_TRUE(s.sim.command("fault 2 none"));
  ASSERT_TRUE(s.run_until(
      [&] { return st.channel_table().panel(1).value == "500" && st.channel_table().panel(3).value == "-80"; }));
}

TEST(StationWithSimulator, GarbageAndShutdownDuringACycle) {
  SimStation s(
      {"--module", "1", "--module", "2", "--input", "1:*=const:10", "--input", "2:*=const:2", "--fault", "2=garbage"});
  auto& st = s.station();
  st.start();
  ASSERT_TRUE(s.run_until([&] { return s.logged("The Error Code:12\rResult String Check Error") >= 1; }));
  // Module 2's failed read hands on module 1's readings, as the result
  // area still holds them.
  ASSERT_TRUE(s.run_until([&] { return !st.acquisition().polling(); }));
  EXPECT_EQ(st.channel_table().panel(1).value, "500");
  EXPECT_EQ(st.channel_table().panel(3).value, "0");  // 10 of 0..20 onto -100..100

  ASSERT_TRUE(s.sim.command("fault 2 silent"));
  ASSERT_TRUE(s.run_until([&] { return st.acquisition().polling(); }));
  const auto logged = s.log.memo().size();
  s.destroy();  // ends while module 2 is being waited for
  s.run_until([] { return false; }, 300ms);
  EXPECT_EQ(s.log.memo().size(), logged);
}

}  // namespace
}  // namespace orvane
