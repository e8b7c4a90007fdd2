// The whole road of an event through the real programs: a host sets a value
// over TCP (orvane-host), the headless station (reading a simulated module)
// makes the event, buffers it, logs it and stores it on a real FTP server.
#include "core/local_time.hpp"
#include "core/text_file.hpp"
#include "platform/clock.hpp"
#include "support/ftp_test_server.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

using namespace orvane::test;

namespace {

bool any_contains(const std::vector<std::string>& texts, const std::string& part) {
  for (const auto& t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(WireToFtp, SetValueOverTcpBecomesAStoredEventAndLeavesNothingBuffered) {
  TempDir dir;
  FtpTestServer ftp;
  SimProcess sim(dir / "i7000", {"--module", "1"});
  std::filesystem::create_directory(dir / "log");
  std::filesystem::create_directory(dir / "history");
  const int port = free_tcp_port();
  write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) +
                                      "\r\nServerPort=" + std::to_string(ftp.port()) +
                                      "\r\nHost=localhost\r\n[Config]\r\nEventSample=100\r\nHistorySample=100\r\n");
  // The module is read, but no channel maps onto it, so values set by the
  // host stay as they are.
  write_text(dir / "module.con", "1,4017,A,1,Y\r\n");
  write_text(dir / "sensor.con", ",T01,A,I,Y,0,1000,100,200\r\n");
  write_text(dir / "auto.con", "1\r\n");
  write_text(dir / "flag", "1\r\n");

  ChildProcess station({built_program("orvane-emulator").string(), "--headless", "--dir", dir.path().string(), "--com",
                        "3=" + (dir / "i7000").string(), "--lock-file", (dir / "lock").string(), "--flag-file",
                        (dir / "flag").string(), "--reboot-cmd", "true", "--poweroff-cmd", "true"});
  // The first check after start reports T01 at level 1 (value 0).
  ASSERT_TRUE(wait_until([&] { return any_contains(ftp.contents(), " T01 IS 0\x03\x04"); })) << station.output();

  ChildProcess host({built_program("orvane-host").string(), "-p", std::to_string(port), "--header", "H",
                     "SET_VALUE 200612071230 F1 S1 T01 150"});
  ASSERT_EQ(host.wait(), 0) << host.output();
  EXPECT_NE(host.output().find("<SOH>H<STX>EVENT "), std::string::npos) << host.output();
  EXPECT_NE(host.output().find(" F1 S1 T01  IS 150<ETX>\n<EOT>"), std::string::npos) << host.output();

  ASSERT_TRUE(wait_until([&] { return any_contains(ftp.contents(), " F1 F1S1 T01 IS 150\x03\x04"); }))
      << station.output();
  for (const auto& [name, bytes] : ftp.files()) {
    EXPECT_EQ(name.rfind("Emulate", 0), 0u);
    EXPECT_EQ(name.size(), 7u + 9u) << name;
    EXPECT_EQ(bytes.rfind("\x01\x02"
                          "EVENTA ",
                          0),
              0u);
  }
  ASSERT_TRUE(wait_until([&] { return read_text(dir / "Event.Sav").empty(); }));
  EXPECT_EQ(station.signal_and_wait(SIGTERM), 0);

  const auto& out = station.output();
  EXPECT_NE(out.find("Events : Add Event to buffer 1 Events"), std::string::npos) << out;
  EXPECT_NE(out.find("Events : Send Completed"), std::string::npos) << out;
  EXPECT_NE(out.find("Emulator : receive Command\nEmulator : do command \n"), std::string::npos) << out;

  // Both day logs hold the event: scaled by 100 in one, as shown in the other.
  const auto today = orvane::stamp_yyyymmdd(orvane::SystemClock().now());
  const auto log = read_text(dir / "log" / (today + ".log"));
  const auto raw = read_text(dir / "log" / ("U" + today + ".log"));
  EXPECT_NE(log.find(" F1 F1S1 T01 IS 1.5\r\n"), std::string::npos) << log;
  EXPECT_NE(raw.find(" F1 F1S1 T01 IS 150\r\n"), std::string::npos) << raw;
}
