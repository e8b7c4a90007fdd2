// orvane-fleet, the real program: stations with simulated modules that
// answer hosts and deliver their events once each; the fleet file's errors
// and the stations that can't start.
#include "support/ftp_test_server.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>

using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

// A station directory that reads one simulated I-7017 at address 01 every
// second; T01 has a threshold at 500, crossed every few seconds.
void write_template(const fs::path& dir, int ftp_port) {
  std::string channels, sensors;
  for (int k = 0; k < 8; ++k) {
    channels += "T0" + std::to_string(k + 1) + ",A,I,1,1," + std::to_string(k) + ",Y\r\n";
    sensors +=
        std::to_string(k + 1) + ",T0" + std::to_string(k + 1) + ",A,I,Y,0,1000" + (k == 0 ? ",500" : "") + "\r\n";
  }
  write_fleet_template(dir, ftp_port, channels, sensors);
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(FleetHost, ThreeSimulatedStationsAnswerAndDeliverEveryEventOnceInOrder) {
  FtpTestServer ftp({"--address", "127.0.0.2"});
  TempDir dir;
  write_template(dir.path() / "template", ftp.port());
  const int base = free_tcp_port();
  for (int n = 1; n <= 3; ++n) fs::create_directories(ftp.folder() / std::to_string(n));
  write_text(dir.path() / "flag", "1\r\n");  // configured: the stations read from the start
  write_text(dir.path() / "fleet.toml",
             "threads = 2\nupload_sessions = 2\n[[stations]]\ncount = 3\n"
             "dir = \"" +
                 (dir.path() / "st").string() +
                 "/{n:03}\"\n"
                 "template = \"" +
                 (dir.path() / "template").string() +
                 "\"\n"
                 "listen = \"127.0.0.1\"\nport = \"{" +
                 std::to_string(base) +
                 " + n}\"\nlog = \"file\"\n"
                 "reboot_cmd = \"true\"\npoweroff_cmd = \"true\"\nflag_file = \"" +
                 (dir.path() / "flag").string() +
                 "\"\n"
                 "[stations.identity]\nFactoryID = \"F{n:03}\"\nSensorID = \"S{n:03}\"\n"
                 "[stations.ftp]\neventpath = \"/kyvex/debug/data/{n}\"\n"
                 "[stations.modules]\nmodules = [\"01\"]\ninputs = [\"01:0=sine:10:8:{2 + n}\"]\nseed = \"{n}\"\n");
  ChildProcess again({built_program("orvane-fleet").string(), (dir.path() / "fleet.toml").string()});
  ASSERT_TRUE(again.wait_for_output("3 of 3 stations up")) << again.output();
  for (int n = 1; n <= 3; ++n) {
    char id[8];
    std::snprintf(id, sizeof id, "%03d", n);
    const auto st = dir.path() / "st" / id;
    ASSERT_TRUE(wait_until([&] {
      return read_data(base + n, std::string("F") + id, std::string("S") + id).find(" T01 IS ") != std::string::npos;
    })) << "station "
        << n << " does not answer READ_DATA with its channels: "
        << read_data(base + n, std::string("F") + id, std::string("S") + id);
  }
  // Every station crosses its threshold a few times, and its events arrive.
  ASSERT_TRUE(wait_until(
      [&] {
        for (int n = 1; n <= 3; ++n)
          if (fs::is_empty(ftp.folder() / std::to_string(n))) return false;
        return true;
      },
      std::chrono::seconds(20)));
  ASSERT_EQ(again.signal_and_wait(SIGTERM), 0) << again.output();
  for (int n = 1; n <= 3; ++n) {
    char id[8];
    std::snprintf(id, sizeof id, "%03d", n);
    const auto st = dir.path() / "st" / id;
    const auto log = read_text(st / "station.log");
    const int added = count_of(log, "Events : Add Event to buffer");
    // Delivered (on the host, by name order) and still buffered: each event once.
    std::vector<std::string> host;
    // A store cut short by the stop leaves a partial file; its line stays
    // buffered, to be stored again under the same name.
    for (const auto& [name, bytes] : ftp.files_in(ftp.folder() / std::to_string(n)))
      if (!bytes.empty() && bytes.back() == '\x04') host.push_back(bytes);
    const auto left = fs::exists(st / "Event.Sav") ? lines_of(read_text(st / "Event.Sav")) : std::vector<std::string>{};
    EXPECT_GT(host.size(), 0u);
    // The stop may cut an upload between the host's storing a file and the
    // buffer's letting go of its line: that line, the first still buffered,
    // is then on the host too, under the name it is stored again with later
    // (the host's copy is overwritten, never doubled).
    auto bare = [](std::string e) {
      while (!e.empty() && std::strchr("\x01\x02\x03\x04\r\n", e.back())) e.pop_back();
      while (!e.empty() && std::strchr("\x01\x02", e.front())) e.erase(e.begin());
      return e;
    };
    std::size_t overlap = 0;
    if (!left.empty())
      for (const auto& e : host) overlap = overlap || bare(e) == bare(left.front()) ? 1 : 0;
    EXPECT_EQ(static_cast<int>(host.size() + left.size() - overlap), added) << "station " << n << "\n" << log;
    // (A store repeated would show as one file more than the events made.)
    for (const auto& e : host) EXPECT_NE(e.find(std::string("F") + id), std::string::npos) << e;
    // The names keep the order the events were made in.
    std::string last;
    for (const auto& e : host) {
      const auto stamp = e.substr(9, 12);
      EXPECT_LE(last, stamp);
      last = stamp;
    }
  }
}

TEST(FleetHost, FileErrorsNameTheLineAndKeyAndStationsThatCannotStartAreReported) {
  TempDir dir;
  const auto fleet_file = dir.path() / "fleet.toml";
  auto run = [&](const std::string& text, std::vector<std::string> extra = {}) {
    write_text(fleet_file, text);
    std::vector<std::string> argv{built_program("orvane-fleet").string(), fleet_file.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(argv);
  };
  const std::string d = dir.path().string();
  {
    auto p = run("[[stations]]\ncount = 2\ndir = \"" + d + "/s\"\n");
    EXPECT_EQ(p->wait(), 2);
    EXPECT_NE(p->output().find(fleet_file.string() + ":1: stations.dir: station 2 has the directory"),
              std::string::npos)
        << p->output();
  }
  {
    auto p = run("threads = 1\n[[stations]]\ncount = 1\ndir = \"" + d + "/{n}\"\nprot = 5000\n");
    EXPECT_EQ(p->wait(), 2);
    EXPECT_NE(p->output().find(":5: stations.prot: unknown key"), std::string::npos) << p->output();
  }
  {
    auto p = run("[[stations]]\ncount = 1\ndir = \"" + d + "/{n}\"\nport = \"{n / 0}\"\n");
    EXPECT_EQ(p->wait(), 2);
    EXPECT_NE(p->output().find(":4: stations.port: in {n / 0}: division by zero"), std::string::npos) << p->output();
  }
  {
    auto p = run("[[stations]\n");
    EXPECT_EQ(p->wait(), 2);
    EXPECT_NE(p->output().find(fleet_file.string() + ":1:"), std::string::npos) << p->output();
  }
  // Station 1's port is taken, station 3 has no directory: station 2 runs.
  FtpTestServer unused;
  TempDir tmpl;
  write_template(tmpl.path(), unused.port());
  const int base = free_tcp_port();
  const int busy_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int taken = 0;
  for (taken = base + 2; taken < base + 50; ++taken) {
    a.sin_port = htons(static_cast<std::uint16_t>(taken));
    if (::bind(busy_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(busy_fd, 1) == 0) break;
  }
  const std::string fleet = "[[stations]]\ncount = 2\ndir = \"" + d + "/st{n}\"\ntemplate = \"" + tmpl.path().string() +
                            "\"\nlisten = \"127.0.0.1\"\nport = \"{" + std::to_string(taken - 2) +
                            " + 2 * n}\"\n[[stations]]\ncount = 1\nfirst = 3\ndir = \"" + d + "/none{n}\"\nport = \"{" +
                            std::to_string(base) + " + n - 3}\"\n";
  {
    auto p = run(fleet);
    ASSERT_TRUE(p->wait_for_output("1 of 3 stations up")) << p->output();
    EXPECT_NE(p->output().find("station 1: cannot listen for hosts: 127.0.0.1 port " + std::to_string(taken) +
                               ": bind: Address already in use"),
              std::string::npos)
        << p->output();
    EXPECT_NE(
        p->output().find("station 3: directory " + d + "/none3 does not exist and the fleet file names no template"),
        std::string::npos)
        << p->output();
    EXPECT_TRUE(can_connect(taken + 2));
    EXPECT_EQ(p->signal_and_wait(SIGTERM), 0);
  }
  {
    auto p = run(fleet, {"--strict"});
    EXPECT_EQ(p->wait(), 1) << p->output();
  }
  ::close(busy_fd);
}
