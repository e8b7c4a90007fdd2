#include "station/settings.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::TempDir;
using orvane::test::write_text;

TEST(Settings, DefaultsWithoutAFile) {
  TempDir dir;
  const auto s = read_settings(load_profile(dir / "emulate.ini"), "/station");
  EXPECT_EQ(s.ClientPort, 5000);
  EXPECT_EQ(s.ServerPort, 8000);
  EXPECT_EQ(s.Host, "127.0.0.1");
  EXPECT_EQ(s.User, "Guest");
  EXPECT_EQ(s.Password, "Tulip");
  EXPECT_EQ(s.eventpath, "/kyvex/debug/data");
  EXPECT_EQ(s.FactoryID, "F1");
  EXPECT_EQ(s.SensorID, "S1");
  EXPECT_EQ(s.Telphone.size(), 6u);
  EXPECT_EQ(s.HistorySample, "1000");
  EXPECT_EQ(s.EventSample, "1000");
  EXPECT_EQ(s.Connectmode, "0");
  EXPECT_EQ(s.Connecttype, "0");
  EXPECT_EQ(s.DataPath, "/station");
  EXPECT_EQ(s.MinVal, 0);
  EXPECT_EQ(s.MaxVal, 20);
  EXPECT_EQ(s.Port, 3);
  EXPECT_EQ(s.Brate, 9600);
  EXPECT_FALSE(s.Checksum);
  EXPECT_EQ(s.Timeout, 200);
}

TEST(Settings, DeviceLineChecksumAndReplyTimeout) {
  TempDir dir;
  const auto read = [&](const std::string& keys) {
    write_text(dir / "emulate.ini", "[READ]\r\nPort=2\r\n" + keys);
    return read_settings(load_profile(dir / "emulate.ini"), "/station");
  };
  auto s = read("Checksum=1\r\nTimeout=750\r\n");
  EXPECT_TRUE(s.Checksum);
  EXPECT_EQ(s.Timeout, 750);
  s = read("checksum = 1\r\ntimeout=10000\r\n");
  EXPECT_TRUE(s.Checksum);
  EXPECT_EQ(s.Timeout, 10000);
  // Only "1" turns checksums on; a wait that cannot work or would stall the
  // read cycle yields the default.
  for (const char* keys : {"Checksum=yes\r\nTimeout=0\r\n", "Checksum=0\r\nTimeout=-5\r\n",
                           "Checksum=\r\nTimeout=10001\r\n", "Checksum=2\r\nTimeout=1s\r\n"}) {
    s = read(keys);
    EXPECT_FALSE(s.Checksum) << keys;
    EXPECT_EQ(s.Timeout, 200) << keys;
  }
}

TEST(Settings, KeysWithBlanksAndOddSpellings) {
  TempDir dir;
  write_text(dir / "emulate.ini",
             "[Config]\r\nTelphone=654321\r\n[Real Data]\r\nHistory Type=1\r\nData Path=/data\r\n"
             "[Connection]\r\nEVENTPATH=/in\r\n[ConvertData]\r\nMinVal=-5\r\nMaxVal=x\r\n");
  const auto s = read_settings(load_profile(dir / "emulate.ini"), "/station");
  EXPECT_EQ(s.Telphone, "654321");
  EXPECT_EQ(s.HistoryType, "1");
  EXPECT_EQ(s.DataPath, "/data");
  EXPECT_EQ(s.eventpath, "/in");
  EXPECT_EQ(s.MinVal, -5);
  EXPECT_EQ(s.MaxVal, 20);
}

TEST(Settings, WritingKeysReplacesTheFileWholeAndKeepsTheRest) {
  TempDir dir;
  write_text(dir / "emulate.ini", "[Connection]\r\nHost=1.1.1.1\r\n; note\r\n[READ]\r\nPort=3\r\n");
  write_profile_keys(dir / "emulate.ini", {{"Config", "FactoryID", "F2"}, {"Connection", "HOST", "2.2.2.2"}});
  EXPECT_EQ(read_text(dir / "emulate.ini"),
            "[Connection]\r\nHost=2.2.2.2\r\n; note\r\n[READ]\r\nPort=3\r\n\r\n[Config]\r\nFactoryID=F2\r\n");
  write_profile_keys(dir / "fresh.ini", {{"Connection", "HOST", "h"}});
  EXPECT_EQ(read_text(dir / "fresh.ini"), "[Connection]\r\nHOST=h\r\n");
  // No temporary files left behind.
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 2);
}
