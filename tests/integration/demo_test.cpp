// scripts/demo against the built programs: a station, its simulator and an
// FTP server on 127.0.0.2 playing the host; within seconds events are added
// and delivered, the day's log fills, and Ctrl-C ends all three.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <ctime>
#include <fstream>

using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

// Pids of the processes whose command line names `path` (the demo's own:
// its station, simulator and FTP server all carry the demo folder).
std::vector<int> processes_naming(const std::string& path) {
  std::vector<int> out;
  DIR* d = ::opendir("/proc");
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    const std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmd.find(path) != std::string::npos) out.push_back(pid);
  }
  ::closedir(d);
  return out;
}

// Whatever happens in the test, nothing of the demo outlives it.
struct Leftovers {
  std::string path;
  ~Leftovers() {
    for (const int pid : processes_naming(path)) ::kill(pid, SIGKILL);
  }
};

std::string today() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

}  // namespace

TEST(Demo, DeliversEventsToItsHostWithinSecondsAndCtrlCEndsEverything) {
  TempDir work;
  const auto dir = work / "demo";
  Leftovers guard{dir.string() + "/"};
  const int port = free_tcp_port();
  ChildProcess demo({(fs::path(ORVANE_SOURCE_DIR) / "scripts" / "demo").string(), "--bin", ORVANE_BINARY_DIR, "--dir",
                     dir.string(), "--port", std::to_string(port)});
  ASSERT_TRUE(demo.wait_for_output("Operator log follows", std::chrono::seconds(20))) << demo.output();
  // The host is not 127.0.0.1, so the station's events reach the FTP server.
  ASSERT_TRUE(demo.wait_for_output("\nEvents : Send Completed\n", std::chrono::seconds(30))) << demo.output();
  const auto out = demo.output();
  EXPECT_NE(out.find("\nEvents : Add Event to buffer "), std::string::npos) << out;
  EXPECT_NE(out.find("\nSend : "), std::string::npos) << out;
  EXPECT_NE(out.find("on 127.0.0.2:"), std::string::npos) << out;
  EXPECT_NE(out.find(dir.string() + "/host/events/Emulate*"), std::string::npos) << out;

  // Each delivered file holds one framed event line of this station.
  std::vector<fs::path> delivered;
  ASSERT_TRUE(wait_until([&] {
    delivered.clear();
    for (const auto& e : fs::directory_iterator(dir / "host" / "events")) delivered.push_back(e.path());
    return !delivered.empty();
  }));
  for (const auto& f : delivered) {
    EXPECT_EQ(f.filename().string().rfind("Emulate", 0), 0u) << f;
    const auto text = read_text(f);
    EXPECT_NE(text.find(" F1 F1S1 "), std::string::npos) << text;
  }
  EXPECT_TRUE(fs::exists(dir / "log" / (today() + ".log")));
  EXPECT_FALSE(processes_naming(dir.string() + "/").empty());

  // Ctrl-C: the script ends the station, the simulator and the FTP server.
  EXPECT_EQ(demo.signal_and_wait(SIGINT, std::chrono::seconds(15)), 0) << demo.output();
  EXPECT_NE(demo.output().find("demo: ended"), std::string::npos) << demo.output();
  EXPECT_TRUE(wait_until([&] { return processes_naming(dir.string() + "/").empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(demo.output().find("ERROR: "), std::string::npos) << demo.output();  // no sanitizer report
}

TEST(Demo, RefusesABusyCommandPort) {
  TempDir work;
  // A station already listening there (the fleet script's check does the same).
  const int port = free_tcp_port();
  ChildProcess listener({"/usr/bin/python3", "-c",
                         "import socket,time;s=socket.socket();s.bind(('127.0.0.1'," + std::to_string(port) +
                             "));s.listen();print('listening',flush=True);time.sleep(30)"});
  ASSERT_TRUE(listener.wait_for_output("listening"));
  ChildProcess demo({(fs::path(ORVANE_SOURCE_DIR) / "scripts" / "demo").string(), "--bin", ORVANE_BINARY_DIR, "--dir",
                     (work / "demo").string(), "--port", std::to_string(port)});
  EXPECT_EQ(demo.wait(), 1);
  EXPECT_NE(demo.output().find("already listens on port " + std::to_string(port)), std::string::npos) << demo.output();
  EXPECT_TRUE(processes_naming((work / "demo").string() + "/").empty());
}
