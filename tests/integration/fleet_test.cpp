// scripts/fleet and scripts/fleet-check against the built programs: three
// stations, each on its own simulator, polled by the host-side check; one
// station ended to see the check fail; then the whole fleet stopped.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

const fs::path kScripts = fs::path(ORVANE_SOURCE_DIR) / "scripts";

bool port_free(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A base below the ephemeral range whose next `n` ports are free now.
int free_port_run(int n) {
  std::mt19937 rng(std::random_device{}());
  for (int tries = 0; tries < 200; ++tries) {
    const int base = 20000 + static_cast<int>(rng() % 10000);
    bool all = true;
    for (int i = 1; i <= n && all; ++i) all = port_free(base + i);
    if (all) return base;
  }
  return -1;
}

// Alive and not a zombie (the fleet's processes are not our children, and
// the reaper of a container may be slow).
bool alive(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  std::string cmd;
  return in && std::getline(in, cmd) && !cmd.empty();
}

std::vector<std::pair<std::string, int>> read_pids(const fs::path& file) {
  std::vector<std::pair<std::string, int>> out;
  std::ifstream in(file);
  std::string kind;
  int index = 0, pid = 0;
  while (in >> kind >> index >> pid) out.emplace_back(kind + std::to_string(index), pid);
  return out;
}

int run(const std::vector<std::string>& argv, std::string& output) {
  ChildProcess p(argv);
  const int rc = p.wait(std::chrono::seconds(90));
  output = p.output();
  return rc;
}

// Stops the fleet whatever happens in the test.
struct FleetGuard {
  fs::path dir;
  ~FleetGuard() {
    std::string out;
    run({(kScripts / "fleet").string(), "--stop", "--dir", dir.string()}, out);
  }
};

}  // namespace

TEST(Fleet, StartsStationsOnTheirOwnSimulatorsAndTheHostCheckReachesThem) {
  TempDir work;
  const auto dir = work / "fleet";
  const int base = free_port_run(3);
  ASSERT_GT(base, 0);
  const std::string bin = ORVANE_BINARY_DIR;
  FleetGuard guard{dir};

  std::string out;
  ASSERT_EQ(run({(kScripts / "fleet").string(), "3", "--processes", "--base-port", std::to_string(base), "--dir", dir.string(),
                 "--bin", bin},
                out),
            0)
      << out;
  EXPECT_NE(out.find("3 stations running"), std::string::npos) << out;
  // Each station has its own identity, port, lock and flag.
  for (int i = 1; i <= 3; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "%03d", i);
    const auto ini = read_text(dir / id / "emulate.ini");
    EXPECT_NE(ini.find("ClientPort=" + std::to_string(base + i) + "\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find(std::string("FactoryID=F") + id + "\r\n"), std::string::npos) << ini;
    EXPECT_TRUE(fs::exists(dir / id / "run" / "OrvaneEmulator.lock")) << id;
  }
  const auto pids = read_pids(dir / "fleet.pids");
  ASSERT_EQ(pids.size(), 6u);
  for (const auto& [what, pid] : pids) EXPECT_TRUE(alive(pid)) << what;

  const std::vector<std::string> check{(kScripts / "fleet-check").string(), "--dir", dir.string(), "--bin", bin};
  ASSERT_EQ(run(check, out), 0) << out;
  EXPECT_NE(out.find("3/3 stations answered"), std::string::npos) << out;
  EXPECT_NE(out.find("READ_DATA latency over 3 requests: p50 "), std::string::npos) << out;
  for (const char* line :
       {"F001 S001   8/8 channels  ok", "F002 S002   8/8 channels  ok", "F003 S003   8/8 channels  ok"})
    EXPECT_NE(out.find(line), std::string::npos) << out;

  // A station that is gone makes the check fail, and says which.
  int second = 0;
  for (const auto& [what, pid] : pids)
    if (what == "station2") second = pid;
  ASSERT_GT(second, 0);
  ::kill(second, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !alive(second); }));
  EXPECT_NE(run(check, out), 0) << out;
  EXPECT_NE(out.find("2/3 stations answered"), std::string::npos) << out;
  EXPECT_NE(out.find("F002 S002   0/8 channels  FAILED"), std::string::npos) << out;
  // --quiet names only the station that failed.
  auto quiet = check;
  quiet.push_back("--quiet");
  EXPECT_NE(run(quiet, out), 0) << out;
  EXPECT_EQ(out.find("F001 S001"), std::string::npos) << out;
  EXPECT_NE(out.find("F002 S002   0/8 channels  FAILED"), std::string::npos) << out;

  ASSERT_EQ(run({(kScripts / "fleet").string(), "--stop", "--dir", dir.string()}, out), 0) << out;
  for (const auto& [what, pid] : pids) EXPECT_FALSE(alive(pid)) << what;
  EXPECT_FALSE(fs::exists(dir / "fleet.pids"));
  // Every station ended in order: the log shows no sanitizer report or crash.
  for (const char* id : {"001", "003"}) {
    const auto log = read_text(dir / id / "run" / "station.log");
    EXPECT_EQ(log.find("ERROR: "), std::string::npos) << log;
  }
}

TEST(Fleet, SharedFtpHostReceivesEveryStationsEventsAndStatsMeasureTheFleet) {
  TempDir work;
  const auto dir = work / "fleet";
  const int base = free_port_run(2);
  ASSERT_GT(base, 0);
  FleetGuard guard{dir};
  std::string out;
  ASSERT_EQ(run({(kScripts / "fleet").string(), "2", "--ftp", "--base-port", std::to_string(base), "--dir",
                 dir.string(), "--bin", ORVANE_BINARY_DIR},
                out),
            0)
      << out;
  EXPECT_NE(out.find("events go to the FTP server on 127.0.0.2:"), std::string::npos) << out;
  const auto pids = read_pids(dir / "fleet.pids");
  ASSERT_EQ(pids.size(), 2u);  // one FTP server, one fleet host

  // Each station delivers into a folder of its own at the one host.
  for (const char* id : {"001", "002"}) {
    // (A file may still be arriving: wait for one whose event names this station.)
    const auto folder = dir / "host" / "events" / id;
    const auto mine = std::string(" F") + id + " F" + id + "S" + id + " ";
    EXPECT_TRUE(wait_until(
        [&] {
          for (const auto& e : fs::directory_iterator(folder))
            if (read_text(e.path()).find(mine) != std::string::npos) return true;
          return false;
        },
        std::chrono::seconds(30)))
        << id;
  }

  ASSERT_EQ(run({(kScripts / "fleet").string(), "--stats", "--seconds", "1", "--dir", dir.string()}, out), 0) << out;
  EXPECT_NE(out.find("fleet: 2 stations in"), std::string::npos) << out;
  EXPECT_NE(out.find("fleet: fleet       1 processes"), std::string::npos) << out;
  EXPECT_NE(out.find("fleet: ftp         1 processes"), std::string::npos) << out;
  EXPECT_NE(out.find("fleet: memory per station: "), std::string::npos) << out;
  EXPECT_NE(out.find("fleet: CPU over 1 s: "), std::string::npos) << out;

  ASSERT_EQ(run({(kScripts / "fleet").string(), "--stop", "--dir", dir.string()}, out), 0) << out;
  for (const auto& [what, pid] : pids) EXPECT_FALSE(alive(pid)) << what;
}

TEST(Fleet, RefusesUpFrontWhatCannotFit) {
  TempDir work;
  FleetGuard guard{work / "fleet"};
  std::string out;
  const auto start = [&](const std::string& n, const std::string& base) {
    return run({(kScripts / "fleet").string(), n, "--base-port", base, "--dir", (work / "fleet").string(), "--bin",
                ORVANE_BINARY_DIR},
               out);
  };
  EXPECT_EQ(start("10", "65530"), 1);
  EXPECT_NE(out.find("go beyond 65535"), std::string::npos) << out;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int lo = 0, hi = 0;
  range >> lo >> hi;
  EXPECT_EQ(start("10", std::to_string(lo - 5)), 1);
  EXPECT_NE(out.find("overlap the ephemeral range"), std::string::npos) << out;
  EXPECT_EQ(start("100000", "1000"), 1);  // more stations than ptys, ports or memory allow
  EXPECT_NE(out.find("fleet: "), std::string::npos) << out;
  // Nothing was started.
  EXPECT_FALSE(fs::exists(work / "fleet" / "fleet.pids"));
  EXPECT_FALSE(fs::exists(work / "fleet" / "001"));
}
