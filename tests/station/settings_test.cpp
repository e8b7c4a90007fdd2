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
  EXPECT_EQ(s.client_port, 5000);
  EXPECT_EQ(s.server_port, 8000);
  EXPECT_EQ(s.host, "127.0.0.1");
  EXPECT_EQ(s.user, "Guest");
  EXPECT_EQ(s.password, "Tulip");
  EXPECT_EQ(s.event_path, "/kyvex/debug/data");
  EXPECT_EQ(s.factory_id, "F1");
  EXPECT_EQ(s.sensor_id, "S1");
  EXPECT_EQ(s.telephone.size(), 6u);
  EXPECT_EQ(s.history_sample.text, "1000");
  EXPECT_EQ(s.event_sample.text, "1000");
  EXPECT_EQ(s.connect_mode, ConnectMode::dialled);
  EXPECT_EQ(s.connect_type, ConnectType::lan);
  EXPECT_EQ(s.data_path, "/station");
  EXPECT_EQ(s.raw_min, 0);
  EXPECT_EQ(s.raw_max, 20);
  EXPECT_EQ(s.com_port, 3);
  EXPECT_EQ(s.baud_rate, 9600);
  EXPECT_FALSE(s.checksum);
  EXPECT_EQ(s.module_timeout, std::chrono::milliseconds(200));
}

TEST(Settings, DeviceLineChecksumAndReplyTimeout) {
  TempDir dir;
  const auto read = [&](const std::string& keys) {
    write_text(dir / "emulate.ini", "[READ]\r\nPort=2\r\n" + keys);
    return read_settings(load_profile(dir / "emulate.ini"), "/station");
  };
  auto s = read("Checksum=1\r\nTimeout=750\r\n");
  EXPECT_TRUE(s.checksum);
  EXPECT_EQ(s.module_timeout, std::chrono::milliseconds(750));
  s = read("checksum = 1\r\ntimeout=10000\r\n");
  EXPECT_TRUE(s.checksum);
  EXPECT_EQ(s.module_timeout, std::chrono::milliseconds(10000));
  // Only "1" turns checksums on; a wait that cannot work or would stall the
  // read cycle yields the default.
  for (const char* keys : {"Checksum=yes\r\nTimeout=0\r\n", "Checksum=0\r\nTimeout=-5\r\n",
                           "Checksum=\r\nTimeout=10001\r\n", "Checksum=2\r\nTimeout=1s\r\n"}) {
    s = read(keys);
    EXPECT_FALSE(s.checksum) << keys;
    EXPECT_EQ(s.module_timeout, std::chrono::milliseconds(200)) << keys;
  }
}

TEST(Settings, KeysWithBlanksAndOddSpellings) {
  TempDir dir;
  write_text(dir / "emulate.ini",
             "[Config]\r\nTelphone=654321\r\n[Real Data]\r\nHistory Type=1\r\nData Path=/data\r\n"
             "[Connection]\r\nEVENTPATH=/in\r\n[ConvertData]\r\nMinVal=-5\r\nMaxVal=x\r\n");
  const auto s = read_settings(load_profile(dir / "emulate.ini"), "/station");
  EXPECT_EQ(s.telephone, "654321");
  EXPECT_EQ(s.history_type, "1");
  EXPECT_EQ(s.data_path, "/data");
  EXPECT_EQ(s.event_path, "/in");
  EXPECT_EQ(s.raw_min, -5);
  EXPECT_EQ(s.raw_max, 20);
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
