// The window lives in orvane-emulator-ui.so: a headless station must not map
// Qt at all, a windowed one loads the module from beside the executable or
// from <prefix>/lib/orvane-emulator/, and says so plainly when it cannot.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace orvane::test;

namespace {

std::string maps_of(int pid) { return read_text("/proc/" + std::to_string(pid) + "/maps"); }

// The station listens once its start-up has run on the station thread, after
// its signal handling is in place: from then on SIGTERM is a clean stop.
bool listening(int port) { return can_connect(port); }

struct ScratchStation {
  TempDir dir;
  int port = free_tcp_port();
  ScratchStation() {
    std::filesystem::create_directory(dir / "log");
    std::filesystem::create_directory(dir / "history");
    write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) + "\r\n");
  }
  std::vector<std::string> argv(const std::filesystem::path& program, bool headless) const {
    auto a =
        station_command(dir.path(), headless ? std::vector<std::string>{"--headless"} : std::vector<std::string>{});
    a.front() = program.string();
    return a;
  }
};

const std::vector<std::string> kOffscreen{"QT_QPA_PLATFORM=offscreen"};

}  // namespace

TEST(WindowModule, HeadlessStationMapsNoQtLibrary) {
  ScratchStation s;
  ChildProcess p(s.argv(built_program("orvane-emulator"), true), kOffscreen);
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...")) << p.output();
  const std::string maps = maps_of(p.pid());
  ASSERT_NE(maps.find("orvane-emulator"), std::string::npos);  // it is the station's own map
  EXPECT_EQ(maps.find("libQt6"), std::string::npos) << maps;
  EXPECT_EQ(maps.find("orvane-emulator-ui.so"), std::string::npos);
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}

#ifdef ORVANE_HAVE_UI

TEST(WindowModule, WindowedStationLoadsTheModuleBesideTheExecutable) {
  ScratchStation s;
  ChildProcess p(s.argv(built_program("orvane-emulator"), false), kOffscreen);
  const auto module = (built_program("orvane-emulator").parent_path() / "orvane-emulator-ui.so").string();
  ASSERT_TRUE(wait_until([&] { return maps_of(p.pid()).find(module) != std::string::npos; })) << p.output();
  EXPECT_NE(maps_of(p.pid()).find("libQt6Widgets"), std::string::npos);
  ASSERT_TRUE(wait_until([&] { return listening(s.port); })) << p.output();
  EXPECT_TRUE(p.running()) << p.output();
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0) << p.output();
}

// Headless, a port that can't be opened ends the program for its service
// manager to restart; with a window the operator sees the error in the log
// and the station stays up.
TEST(WindowModule, WindowedStationOnABusyPortStaysUp) {
  ScratchStation s;
  const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  addr.sin6_port = htons(static_cast<uint16_t>(s.port));
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ChildProcess p(s.argv(built_program("orvane-emulator"), false), kOffscreen);
  const auto module = (built_program("orvane-emulator").parent_path() / "orvane-emulator-ui.so").string();
  ASSERT_TRUE(wait_until([&] { return maps_of(p.pid()).find(module) != std::string::npos; })) << p.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the start-up that failed to listen
  EXPECT_TRUE(p.running()) << p.output();
  EXPECT_EQ(p.output().find("cannot listen"), std::string::npos) << p.output();
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0) << p.output();
  ::close(blocker);
}

TEST(WindowModule, InstalledLayoutAndAMissingOrForeignModule) {
  // An executable in <prefix>/bin with no module anywhere it looks.
  TempDir prefix;
  const auto program = copy_program_into(prefix);
  ScratchStation s;
  {
    ChildProcess p(s.argv(program, false), kOffscreen);
    EXPECT_EQ(p.wait(), 2);
    EXPECT_EQ(p.output().rfind("orvane-emulator: the window is not available (", 0), 0u) << p.output();
    EXPECT_NE(p.output().find((prefix / "lib/orvane-emulator/orvane-emulator-ui.so").string()), std::string::npos)
        << p.output();
    EXPECT_NE(p.output().find("); use --headless\n"), std::string::npos) << p.output();
    EXPECT_FALSE(std::filesystem::exists(s.dir / "station.lock"));  // it stopped before anything else
  }
  // Headless needs no module.
  {
    ChildProcess p(s.argv(program, true), kOffscreen);
    ASSERT_TRUE(p.wait_for_output("Wait for Set Config...")) << p.output();
    EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
  }
  // Something that is not a module of ours is refused, not called.
  write_text(prefix / "bin/orvane-emulator-ui.so", "not a library\n");
  {
    ChildProcess p(s.argv(program, false), kOffscreen);
    EXPECT_EQ(p.wait(), 2);
    EXPECT_NE(p.output().find("the window is not available ("), std::string::npos) << p.output();
    EXPECT_NE(p.output().find("use --headless"), std::string::npos) << p.output();
  }
  std::filesystem::remove(prefix / "bin/orvane-emulator-ui.so");
  // The installed place.
  std::filesystem::create_directories(prefix / "lib/orvane-emulator");
  const auto module = prefix / "lib/orvane-emulator/orvane-emulator-ui.so";
  std::filesystem::copy_file(built_program("orvane-emulator").parent_path() / "orvane-emulator-ui.so", module);
  {
    ChildProcess p(s.argv(program, false), kOffscreen);
    ASSERT_TRUE(wait_until([&] { return maps_of(p.pid()).find(module.string()) != std::string::npos; })) << p.output();
    ASSERT_TRUE(wait_until([&] { return listening(s.port); })) << p.output();
    EXPECT_EQ(p.signal_and_wait(SIGTERM), 0) << p.output();
  }
}

#endif
