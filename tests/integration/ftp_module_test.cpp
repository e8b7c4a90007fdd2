// The FTP client lives in orvane-emulator-ftp.so: an idle station maps
// neither it nor libcurl, the first upload loads it from beside the
// executable or from <prefix>/lib/orvane-emulator/, and a station without it
// keeps its events and says why.
#include "reliability/station_rig.hpp"
#include "support/ftp_test_server.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

using namespace orvane::test;
namespace rig = orvane::rig;

namespace {

std::string maps_of(int pid) { return read_text("/proc/" + std::to_string(pid) + "/maps"); }

std::vector<std::string> station_args(const std::filesystem::path& program, const std::filesystem::path& dir) {
  auto a = rig::station_args(dir);
  a.front() = program.string();
  return a;
}

}  // namespace

TEST(FtpModule, AnIdleStationMapsNoFtpLibraryTheFirstUploadLoadsIt) {
  TempDir dir;
  FtpTestServer ftp;
  const int port = free_tcp_port();
  rig::write_station_dir(dir.path(), port, ftp.port(), 100);
  write_text(dir / "auto.con", "0\r\n");  // stopped: no event checks, nothing to deliver
  SimProcess sim(dir / "i7000", rig::sim_args(3));
  ChildProcess p(station_args(built_program("orvane-emulator"), dir.path()), rig::station_env());
  ASSERT_TRUE(wait_until([&] { return p.output(), can_connect(port); })) << p.output();
  std::string maps = maps_of(p.pid());
  EXPECT_EQ(maps.find("libcurl"), std::string::npos);
  EXPECT_EQ(maps.find("orvane-emulator-ftp.so"), std::string::npos);
  ASSERT_EQ(p.signal_and_wait(SIGTERM), 0) << p.output();

  // Reading: the swinging inputs make events, the first check uploads them.
  write_text(dir / "auto.con", "1\r\n");
  ChildProcess reading(station_args(built_program("orvane-emulator"), dir.path()), rig::station_env());
  ASSERT_TRUE(ftp.wait_stored(1)) << reading.output();
  maps = maps_of(reading.pid());
  const auto module = built_program("orvane-emulator").parent_path() / "orvane-emulator-ftp.so";
  EXPECT_NE(maps.find(module.string()), std::string::npos);
  EXPECT_NE(maps.find("libcurl"), std::string::npos);
  EXPECT_EQ(reading.signal_and_wait(SIGTERM), 0) << reading.output();
}

TEST(FtpModule, WithoutTheModuleEventsWaitUntilItIsInstalled) {
  // An executable in <prefix>/bin with no module anywhere it looks.
  TempDir prefix;
  const auto program = copy_program_into(prefix);
  TempDir dir;
  FtpTestServer ftp;
  const int port = free_tcp_port();
  rig::write_station_dir(dir.path(), port, ftp.port(), 100);
  SimProcess sim(dir / "i7000", rig::sim_args(5));
  ChildProcess p(station_args(program, dir.path()), rig::station_env());
  ASSERT_TRUE(p.wait_for_output("orvane-emulator: events cannot be delivered: orvane-emulator-ftp.so is not in "))
      << p.output();
  EXPECT_NE(p.output().find((prefix / "lib/orvane-emulator/orvane-emulator-ftp.so").string()), std::string::npos);
  ASSERT_TRUE(wait_until([&] { return p.output(), read_text(dir / "Event.Sav").size() > 0; })) << p.output();
  EXPECT_EQ(ftp.stored(), 0);
  // Said once, not at every check.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto& out = p.output();
  EXPECT_EQ(out.find("events cannot be delivered"), out.rfind("events cannot be delivered"));
  EXPECT_TRUE(p.running());

  // Installed in its place, whole at once as a package manager does (a check
  // must not load a half-copied file): the next check loads it and the events go.
  std::filesystem::create_directories(prefix / "lib/orvane-emulator");
  std::filesystem::copy_file(built_program("orvane-emulator").parent_path() / "orvane-emulator-ftp.so",
                             prefix / "lib/orvane-emulator/.orvane-emulator-ftp.so.new");
  std::filesystem::rename(prefix / "lib/orvane-emulator/.orvane-emulator-ftp.so.new",
                          prefix / "lib/orvane-emulator/orvane-emulator-ftp.so");
  ASSERT_TRUE(ftp.wait_stored(1)) << p.output();
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0) << p.output();
}
