// The Debian package: built with CPack, unpacked into a scratch root, and its
// installed station run from there.
#include "http/http_client.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orvane::test;

TEST(DebianPackage, InstallsARunnableStationWithItsUnitAndManPages) {
  TempDir work;
  ChildProcess cpack({"/usr/bin/cpack", "-G", "DEB", "-B", (work / "pkg").string(), "--config",
                      std::string(ORVANE_BINARY_DIR) + "/CPackConfig.cmake"});
  ASSERT_EQ(cpack.wait(std::chrono::minutes(4)), 0) << cpack.output();

  std::filesystem::path deb;
  for (const auto& e : std::filesystem::directory_iterator(work / "pkg"))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty());
  EXPECT_NE(deb.filename().string().find("_amd64.deb"), std::string::npos) << deb;
  EXPECT_EQ(deb.filename().string().rfind("orvane-emulator_", 0), 0u) << deb;

  ChildProcess unpack({"/usr/bin/dpkg-deb", "-x", deb.string(), (work / "root").string()});
  ASSERT_EQ(unpack.wait(std::chrono::minutes(1)), 0) << unpack.output();
  const auto root = work / "root";
  EXPECT_TRUE(std::filesystem::exists(root / "usr/lib/systemd/system/orvane-emulator@.service"));
  EXPECT_TRUE(std::filesystem::exists(root / "usr/share/man/man1/orvane-emulator.1"));
  for (const char* tool : {"i7000-sim", "orvane-host"}) {
    if (std::filesystem::exists(built_program(tool))) {
      EXPECT_TRUE(std::filesystem::exists(root / "usr/bin" / tool)) << tool;
    }
  }

  // Run the installed station headless in a station directory of its own.
  const auto station = work / "station";
  std::filesystem::create_directories(station / "log");
  std::filesystem::create_directories(station / "history");
  const int port = free_tcp_port();
  write_text(station / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) + "\r\n");
  ChildProcess p({(root / "usr/bin/orvane-emulator").string(), "--headless", "--dir", station.string(), "--lock-file",
                  (work / "lock").string(), "--flag-file", (work / "flag").string()});
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...")) << p.output();
  // Without --http the HTTP server's libraries stay out of the process.
  EXPECT_EQ(read_text("/proc/" + std::to_string(p.pid()) + "/maps").find("libmicrohttpd"), std::string::npos);
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);

  // The FTP module, its libcurl dependency declared.
  EXPECT_TRUE(std::filesystem::exists(root / "usr/lib/orvane-emulator/orvane-emulator-ftp.so"));
  {
    ChildProcess depends({"/usr/bin/dpkg-deb", "-f", deb.string(), "Depends"});
    ASSERT_EQ(depends.wait(), 0);
    EXPECT_NE(depends.output().find("libcurl"), std::string::npos) << depends.output();
  }

  // The HTTP module, its libmicrohttpd dependency declared, found by the
  // installed station.
  EXPECT_TRUE(std::filesystem::exists(root / "usr/lib/orvane-emulator/orvane-emulator-http.so"));
  {
    ChildProcess depends({"/usr/bin/dpkg-deb", "-f", deb.string(), "Depends"});
    ASSERT_EQ(depends.wait(), 0);
    EXPECT_NE(depends.output().find("libmicrohttpd"), std::string::npos) << depends.output();
    const int http_port = free_tcp_port();
    ChildProcess h({(root / "usr/bin/orvane-emulator").string(), "--headless", "--dir", station.string(), "--lock-file",
                    (work / "lock").string(), "--flag-file", (work / "flag").string(), "--http",
                    std::to_string(http_port)});
    EXPECT_TRUE(wait_until([&] { return http_request(http_port, "GET", "/livez").status == 200; })) << h.output();
    EXPECT_EQ(h.signal_and_wait(SIGTERM), 0) << h.output();
  }

#ifdef ORVANE_HAVE_UI
  // The window module, its Qt dependency declared, and the installed station
  // finding it from its own path.
  const auto module = root / "usr/lib/orvane-emulator/orvane-emulator-ui.so";
  ASSERT_TRUE(std::filesystem::exists(module));
  ChildProcess depends({"/usr/bin/dpkg-deb", "-f", deb.string(), "Depends"});
  ASSERT_EQ(depends.wait(), 0);
  EXPECT_NE(depends.output().find("libqt6widgets6"), std::string::npos) << depends.output();
  ChildProcess w({(root / "usr/bin/orvane-emulator").string(), "--dir", station.string(), "--lock-file",
                  (work / "lock").string(), "--flag-file", (work / "flag").string()},
                 {"QT_QPA_PLATFORM=offscreen"});
  EXPECT_TRUE(wait_until([&] {
    return read_text("/proc/" + std::to_string(w.pid()) + "/maps").find(module.string()) != std::string::npos;
  })) << w.output();
  // Listening means its signal handling is in place.
  EXPECT_TRUE(wait_until([&] { return can_connect(port); })) << w.output();
  EXPECT_EQ(w.signal_and_wait(SIGTERM), 0) << w.output();
#endif

  // The installed station configured, reading the installed simulator, and
  // the installed host tool reading its values back.
  const auto sim_bin = root / "usr/bin/i7000-sim", host_bin = root / "usr/bin/orvane-host";
  if (!std::filesystem::exists(sim_bin) || !std::filesystem::exists(host_bin))
    GTEST_SKIP() << "built without the tools";
  write_text(station / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) +
                                          "\r\nHost=127.0.0.1\r\n[Config]\r\nFactoryID=F7\r\nSensorID=S7\r\n");
  write_text(station / "module.con", "1,4017,A,1,Y\r\n");
  write_text(station / "channel.con", "T01,A,I,1,1,0,Y\r\nT02,A,I,1,1,1,Y\r\n");
  write_text(station / "sensor.con", "1,T01,A,I,Y,0,1000\r\n2,T02,A,I,Y,0,1000\r\n");
  write_text(station / "auto.con", "1\r\n");
  write_text(work / "flag", "1\r\n");
  const auto link = work / "i7000";
  ChildProcess sim({sim_bin.string(), "--link", link.string(), "--input", "1:0=const:12.5", "--input", "1:1=const:5"});
  ASSERT_TRUE(wait_until([&] { return std::filesystem::is_symlink(link); })) << sim.output();
  ChildProcess configured({(root / "usr/bin/orvane-emulator").string(), "--headless", "--dir", station.string(),
                           "--com", "3=" + link.string(), "--lock-file", (work / "lock").string(), "--flag-file",
                           (work / "flag").string()});
  // 12.5 on the module's 0..20 range is 625 on the sensor's 0..1000, 5 is 250.
  std::string reply;
  const bool read = wait_until(
      [&] {
        ChildProcess host({host_bin.string(), "-p", std::to_string(port), "-s", "READ_DATA 200612071200 F7 S7"});
        host.wait(std::chrono::seconds(5));
        reply = host.output();
        return reply.find("T01 IS 625") != std::string::npos;
      },
      std::chrono::seconds(20));
  EXPECT_TRUE(read) << reply << configured.output();
  EXPECT_NE(reply.find(" F7 F7S7 T02 IS 250"), std::string::npos) << reply;
  EXPECT_EQ(configured.signal_and_wait(SIGTERM), 0);
}
