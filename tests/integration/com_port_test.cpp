// The station program with --com: COM port 3 mapped onto the simulator.
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

namespace orvane {
namespace {

using test::ChildProcess;
using test::write_text;

std::vector<std::string> station_args(const test::TempDir& dir, const std::string& com) {
  return test::station_command(dir.path(), {"--headless", "--com", com});
}

void make_station_dir(const test::TempDir& dir) {
  std::filesystem::create_directory(dir / "log");
  std::filesystem::create_directory(dir / "history");
  write_text(dir / "emulate.ini",
             "[Connection]\r\nClientPort=" + std::to_string(test::free_tcp_port()) + "\r\n[READ]\r\nPort=3\r\n");
  write_text(dir / "module.con", "1,4017,A,1,Y\r\n2,4017,A,2,Y\r\n");
  write_text(dir / "channel.con", "T01,A,I,1,1,0,Y\r\n");
  write_text(dir / "sensor.con", "1,T01,A,I,Y,0,1000\r\n");
  write_text(dir / "auto.con", "1\r\n");
  write_text(dir / "flag", "1\r\n");
}

TEST(ComPortOption, StationReadsThroughTheMappedPort) {
  test::TempDir dir;
  make_station_dir(dir);
  // Module 2 stays silent, so each read cycle proves the line is open by a
  // time-out from the simulator rather than an open failure.
  test::SimProcess sim(dir / "i7000", {"--module", "1", "--module", "2", "--fault", "2=silent"});
  ChildProcess station(station_args(dir, "3=" + (dir / "i7000").string()));
  ASSERT_TRUE(station.wait_for_output("The Error Code:15\rTime Out")) << station.output();
  EXPECT_EQ(station.output().find("OPEN_COM"), std::string::npos);
  EXPECT_EQ(station.signal_and_wait(SIGTERM), 0);
}

TEST(ComPortOption, UnopenableDeviceAndBadMappings) {
  test::TempDir dir;
  make_station_dir(dir);
  ChildProcess station(station_args(dir, "3=" + (dir / "nothing-here").string()));
  ASSERT_TRUE(station.wait_for_output("OPEN_COM Error Code:2\rPort Error")) << station.output();
  EXPECT_EQ(station.signal_and_wait(SIGTERM), 0);

  ChildProcess bad(station_args(dir, "three=/dev/null"));
  EXPECT_NE(bad.wait(), 0);
}

}  // namespace
}  // namespace orvane
