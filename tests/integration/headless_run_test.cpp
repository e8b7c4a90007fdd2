// The real orvane-emulator binary, run headless in scratch station directories.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <regex>

using namespace orvane::test;

namespace {

// A station directory with its own lock and flag files.
struct StationDir {
  TempDir dir;
  StationDir() {
    std::filesystem::create_directory(dir / "log");
    std::filesystem::create_directory(dir / "history");
  }
  void set_port(int port) {
    write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) + "\r\n");
  }
  void set_configured() { write_text(dir / "flag", "1\r\n"); }
  // A configured station on a free port; returns the port.
  int configure_on_free_port() {
    const int port = free_tcp_port();
    set_port(port);
    set_configured();
    return port;
  }
  std::vector<std::string> argv(std::vector<std::string> extra = {}) const {
    extra.insert(extra.begin(), "--headless");
    return station_command(dir.path(), std::move(extra));
  }
};

// A host on a blocking socket; a reply that takes more than 5 s fails.
class BlockingHost {
 public:
  explicit BlockingHost(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~BlockingHost() { ::close(fd_); }
  // Sends `message` and returns the bytes up to the `replies`-th EOT ("" on a timeout).
  std::string ask(const std::string& message, int replies = 1) {
    if (::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) return "";
    std::string got;
    char buf[4096];
    while (std::count(got.begin(), got.end(), '\x04') < replies) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

const std::string kReadData = "\x01h\x02READ_DATA 1 F1 S1\x03\x04";
const std::string kReadDataReply = "\x01h\x04";  // no channels configured

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Write system calls the process has made so far.
long write_calls(int pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long value = -1;
  while (io >> key >> value)
    if (key == "syscw:") return value;
  return -1;
}

}  // namespace

TEST(HeadlessRun, UnconfiguredStationListensAndWaitsForSetConfig) {
  StationDir s;
  const int port = free_tcp_port();
  s.set_port(port);
  ChildProcess p(s.argv());
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...\n")) << p.output();
  EXPECT_TRUE(can_connect(port));
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
  EXPECT_EQ(p.output(), "Wait for Set Config...\n");
}

TEST(HeadlessRun, DefaultPortIs5000) {
  if (can_connect(5000)) GTEST_SKIP() << "something already listens on 5000";
  StationDir s;  // no emulate.ini at all
  ChildProcess p(s.argv());
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...\n")) << p.output();
  EXPECT_TRUE(can_connect(5000));
  EXPECT_EQ(p.signal_and_wait(SIGINT), 0);
}

TEST(HeadlessRun, ConfiguredStationStartsWithoutWaiting) {
  StationDir s;
  const int port = s.configure_on_free_port();
  ChildProcess p(s.argv());
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  // The signal is handled after the start-up sequence that was queued first.
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
  EXPECT_EQ(p.output().find("Wait for Set Config..."), std::string::npos) << p.output();
}

TEST(HeadlessRun, APortThatCannotBeOpenedEndsTheStationWithStatus1) {
  StationDir s;
  const int port = free_tcp_port();
  s.set_port(port);
  const int blocker = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  ChildProcess busy(s.argv());
  EXPECT_EQ(busy.wait(), 1);
  // The operator log line, then the reason on stderr for the service manager.
  EXPECT_NE(busy.output().find("Error : bind: Address already in use\n"), std::string::npos) << busy.output();
  EXPECT_NE(busy.output().find("orvane-emulator: cannot listen for hosts: port " + std::to_string(port) +
                               ": bind: Address already in use\n"),
            std::string::npos)
      << busy.output();
  EXPECT_EQ(busy.output().find("Wait for Set Config..."), std::string::npos);  // the sequence ended there
  ::close(blocker);

  // Port 0 (a port nobody would know) and ports out of range are no ports.
  for (const int bad : {0, -1, 70000}) {
    s.set_port(bad);
    ChildProcess p(s.argv());
    EXPECT_EQ(p.wait(), 1) << bad;
    EXPECT_NE(p.output().find("orvane-emulator: cannot listen for hosts: port " + std::to_string(bad) +
                              ": Invalid port " + std::to_string(bad) + "\n"),
              std::string::npos)
        << p.output();
  }
}

TEST(HeadlessRun, AStationThatCannotLoadItsEventBufferEndsWithStatus1AndSaysWhy) {
  StationDir s;
  const int port = s.configure_on_free_port();
  std::filesystem::create_directory(s.dir / "Event.Sav");  // a buffer no station can read
  ChildProcess broken(s.argv());
  EXPECT_EQ(broken.wait(), 1);
  const auto out = broken.output();
  EXPECT_NE(out.find("orvane-emulator: cannot load the event buffer: Cannot read file "), std::string::npos) << out;
  EXPECT_NE(out.find("Event.Sav: Is a directory\n"), std::string::npos) << out;
  EXPECT_FALSE(can_connect(port));

  // Put right, the same station starts.
  std::filesystem::remove(s.dir / "Event.Sav");
  ChildProcess p(s.argv());
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}

TEST(HeadlessRun, TellsTheServiceManagerItIsReadyAndFeedsItsWatchdog) {
  StationDir s;
  const int port = free_tcp_port();
  s.set_port(port);
  const auto path = (s.dir / "notify").string();
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{10, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto next = [&] {
    char buf[512];
    const auto n = ::recv(sock, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  };

  ChildProcess p(s.argv(), {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=200000"});
  const auto ready = next();
  EXPECT_EQ(ready, "READY=1\nSTATUS=listening on port " + std::to_string(port));
  EXPECT_TRUE(can_connect(port));  // ready means hosts can connect
  // Fed from the station thread every 100 ms.
  const auto start = std::chrono::steady_clock::now();
  int fed = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1))
    if (next() == "WATCHDOG=1") ++fed;
  EXPECT_GE(fed, 3);  // a loaded machine may delay a few
  EXPECT_LE(fed, 12);
  ::kill(p.pid(), SIGTERM);
  std::string last = next();
  while (last == "WATCHDOG=1") last = next();
  EXPECT_EQ(last, "STOPPING=1");
  EXPECT_EQ(p.wait(), 0);
  ::close(sock);
}

TEST(HeadlessRun, SecondInstanceLeavesSilentlyAndTheLockIsReleasedAtExit) {
  StationDir s;
  const int port = free_tcp_port();
  s.set_port(port);
  ChildProcess first(s.argv());
  // Generous: a loaded machine running the sanitizer build starts slowly.
  ASSERT_TRUE(first.wait_for_output("Wait for Set Config...", std::chrono::seconds(30))) << first.output();

  ChildProcess second(s.argv());
  EXPECT_EQ(second.wait(), 0);
  EXPECT_EQ(second.output(), "");
  EXPECT_TRUE(first.running());

  EXPECT_EQ(first.signal_and_wait(SIGTERM), 0);
  ChildProcess third(s.argv());
  EXPECT_TRUE(third.wait_for_output("Wait for Set Config...", std::chrono::seconds(30))) << third.output();
  EXPECT_EQ(third.signal_and_wait(SIGTERM), 0);
}

TEST(HeadlessRun, AHangUpEndsTheStationInOrder) {
  StationDir s;
  const int port = s.configure_on_free_port();
  ChildProcess p(s.argv());
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  EXPECT_EQ(p.signal_and_wait(SIGHUP), 0);  // as SIGTERM: not killed by the signal
  EXPECT_EQ(read_text(s.dir / "station.lock"), "");  // its record cleared on the way out
}

TEST(HeadlessRun, StartedWithStdoutClosedItsLogNeverLandsInItsLockFile) {
  StationDir s;
  const int port = s.configure_on_free_port();
  auto argv = s.argv();
  argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" >&-", "sh"});
  ChildProcess p(argv);
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  BlockingHost host(port);
  ASSERT_EQ(host.ask(kReadData), kReadDataReply);  // two log lines
  // A lock file holding anything but this station's record is cleared of
  // nothing at the end: log lines written into it would still be there.
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
  EXPECT_EQ(read_text(s.dir / "station.lock"), "");
}

TEST(HeadlessRun, CommandLineErrorsAndInformation) {
  StationDir s;
  ChildProcess missing(s.argv({"--dir", (s.dir / "nowhere").string()}));
  EXPECT_EQ(missing.wait(), 2);
  EXPECT_NE(missing.output().find("cannot use station directory"), std::string::npos) << missing.output();

  ChildProcess version({built_program("orvane-emulator").string(), "--version"});
  EXPECT_EQ(version.wait(), 0);
  EXPECT_EQ(version.output().rfind("orvane-emulator ", 0), 0u) << version.output();

  ChildProcess help({built_program("orvane-emulator").string(), "--help"});
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(help.output().find("--headless"), std::string::npos);
}

TEST(HeadlessRun, MalformedSettingsLoadWithDefaults) {
  StationDir s;
  const int port = free_tcp_port();
  std::string junk(2 * 1024 * 1024, 'z');
  for (std::size_t i = 0; i < 4096; ++i) junk[i] = static_cast<char>(i % 256);
  write_text(s.dir / "emulate.ini", junk + "\n[Connection\nClientPort=" + std::to_string(port) + "\n");
  ChildProcess p(s.argv());
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...")) << p.output();
  EXPECT_TRUE(can_connect(port));
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}

TEST(HeadlessRun, UnwritableStationDirectoryGivesAClearError) {
  // Root writes everywhere: run the station as "nobody" in a root-owned folder.
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  {
    ChildProcess probe({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/test", "-x",
                        built_program("orvane-emulator").string()});
    if (probe.wait() != 0) GTEST_SKIP() << "nobody can't reach the built program here";
  }
  StationDir s;
  const int port = free_tcp_port();
  s.set_port(port);
  const auto run = s.dir / "run";
  std::filesystem::create_directory(run);
  std::filesystem::permissions(run, std::filesystem::perms::all);
  std::filesystem::permissions(s.dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
  auto argv = s.argv();
  for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] == "--lock-file") argv[i + 1] = (run / "lock").string();
    if (argv[i] == "--flag-file") argv[i + 1] = (run / "flag").string();
  }
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  ChildProcess p(argv);
  ASSERT_TRUE(p.wait_for_output("Wait for Set Config...")) << p.output();
  EXPECT_NE(p.output().find("Error : station directory " + s.dir.path().string() + " is not writable"),
            std::string::npos)
      << p.output();
  EXPECT_TRUE(can_connect(port));  // it goes on serving
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}

TEST(HeadlessOutput, AStdoutReaderThatGoesAwayNeitherEndsNorStopsTheStation) {
  StationDir s;
  const int port = s.configure_on_free_port();
  ChildProcess p(s.argv());
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  BlockingHost host(port);
  ASSERT_EQ(host.ask(kReadData), kReadDataReply);
  ASSERT_TRUE(p.wait_for_output("Emulator : do command \n")) << p.output();
  p.close_output();  // as `orvane-emulator --headless | head -1` once head has its line
  for (int i = 0; i < 300; ++i) ASSERT_EQ(host.ask(kReadData), kReadDataReply) << "request " << i;
  EXPECT_TRUE(p.running());
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);  // not 141: no SIGPIPE
}

TEST(HeadlessOutput, AStalledStdoutReaderCostsLogLinesNotAnswers) {
  StationDir s;
  const int port = s.configure_on_free_port();
  ChildProcess p(s.argv());
  ASSERT_GT(::fcntl(p.output_fd(), F_SETPIPE_SZ, 4096), 0);
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  // The reader stalls: nothing is read while the host asks far more than
  // the pipe and the station's bounded buffer hold (two lines per request).
  BlockingHost host(port);
  const int requests = 8000;
  for (int i = 0; i < requests; ++i) ASSERT_EQ(host.ask(kReadData), kReadDataReply) << "request " << i;

  // The reader comes back: the kept lines, then how many didn't fit.
  ASSERT_TRUE(p.wait_for_output("log lines dropped from stdout\n")) << p.output().size();
  std::smatch m;
  const std::string out = p.output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("\nEmulator : (\\d+) log lines dropped from stdout\n")));
  const long dropped = std::stol(m[1]);
  EXPECT_GT(dropped, 0);
  const std::string kept = out.substr(0, static_cast<std::size_t>(m.position(0)) + 1);
  // Whole lines in their order up to the gap, and none lost uncounted.
  std::string expected;
  for (std::size_t i = 0; expected.size() < kept.size(); ++i)
    expected += i % 2 == 0 ? "Emulator : receive Command\n" : "Emulator : do command \n";
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(count_of(kept, "\n") + static_cast<std::size_t>(dropped), static_cast<std::size_t>(2 * requests));

  ASSERT_EQ(host.ask(kReadData), kReadDataReply);
  EXPECT_TRUE(p.wait_for_output("from stdout\nEmulator : receive Command\nEmulator : do command \n")) << out.size();
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}

TEST(HeadlessOutput, TheLinesOfOneMessageGoToStdoutInOneWrite) {
  StationDir s;
  const int port = s.configure_on_free_port();
  ChildProcess p(s.argv());
  ASSERT_TRUE(wait_until([&] { return can_connect(port); }));
  BlockingHost host(port);
  ASSERT_EQ(host.ask(kReadData), kReadDataReply);
  ASSERT_TRUE(p.wait_for_output("Emulator : do command \n"));
  const long before = write_calls(p.pid());
  ASSERT_GE(before, 0);

  std::string message = "\x01h";
  for (int i = 0; i < 20; ++i) message += "\x02READ_DATA 1 F1 S1\x03";
  message += "\x04";
  std::string replies;
  for (int i = 0; i < 20; ++i) replies += kReadDataReply;
  ASSERT_EQ(host.ask(message, 20), replies);
  // The message's 40 lines are logged as 3 of each pair and one "(17 more)"
  // line of each: 8 lines in one write (a clock tick's file write may fall
  // in between); one write per line would make 8.
  ASSERT_TRUE(wait_until([&] { return count_of(p.output(), "Emulator : do command  (17 more)\n") == 1; }))
      << p.output();
  EXPECT_EQ(count_of(p.output(), "Emulator : do command \n"), 4u);
  EXPECT_LE(write_calls(p.pid()) - before, 3);
  EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
}
