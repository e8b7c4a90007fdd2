#include "net/ftp_uplink.hpp"
#include "support/ftp_test_server.hpp"
#include "support/station_test.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <thread>

using namespace orvane;
using orvane::test::FtpTestServer;
using orvane::test::read_text;
using orvane::test::StationTest;
using orvane::test::TempDir;
using ::testing::ElementsAre;

// A value set on a channel travels to the host: into Event.Sav and both log
// files while the host is down, then onto the FTP server, leaving the
// buffer and its file empty.
TEST(EventsEndToEnd, AValueChangeReachesTheFtpServerAndLeavesNothingBehind) {
  constexpr std::chrono::milliseconds kEventCheck{1000};  // EventSample's default
  FtpUplink ftp(
      FtpTimeouts{std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(2000)});
  StationTest s{{.configured = true, .deferred = true, .reading = true, .event_host = "localhost"}};
  auto& station = s.make(nullptr, nullptr, &ftp);
  const int port = orvane::test::free_tcp_port();
  station.settings().server_port = port;
  s.row(1, "TEMP01", "A", "Y", {"100"});
  s.table().panel(1).event_state = 1;

  s.value(1, "1234");
  s.advance(kEventCheck);  // the host is down
  station.event_path().delivery().join_worker();
  const std::string line =
      "\x01\x02"
      "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\x03\x04";
  EXPECT_EQ(read_text(s.dir / "Event.Sav"), line + "\r\n");
  EXPECT_EQ(read_text(s.dir / "log" / "20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 12.3\r\n");
  EXPECT_EQ(read_text(s.dir / "log" / "U20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\r\n");

  FtpTestServer server({}, port);
  s.advance(kEventCheck);  // same level: no new event, the buffer goes out
  station.event_path().delivery().join_worker();
  s.ioc.restart();
  s.ioc.poll();  // the worker's log lines
  EXPECT_THAT(server.contents(), ElementsAre(line));
  EXPECT_EQ(station.event_path().buffer().size(), 0u);
  EXPECT_EQ(read_text(s.dir / "Event.Sav"), "");
  EXPECT_EQ(s.lines().back(), "Events : Send Completed");
}

namespace {

constexpr unsigned kGroup = 8;  // events of one check, at most

// The child: adds numbered events in groups as an event check does, now and
// then removes the oldest few as a delivery would and cuts the delivered
// prefix away, reporting each step only once it has returned.
[[noreturn]] void soak_child(const std::filesystem::path& file, long next, int report) {
  try {
    EventBuffer buffer;
    buffer.load(file);
    std::mt19937 rng(static_cast<unsigned>(::getpid()));
    for (;;) {
      std::vector<std::string> group;
      for (auto n = 1 + rng() % kGroup; n > 0; --n) group.push_back(std::to_string(next++));
      buffer.add_all(group);
      const auto a = "A " + group.back() + "\n";
      if (::write(report, a.data(), a.size()) < 0) ::_exit(3);
      if (rng() % 8 == 0 && buffer.size() > 3) {
        buffer.remove_front(3);
        const auto r = "R " + buffer.head(1).front() + "\n";
        if (::write(report, r.data(), r.size()) < 0) ::_exit(3);
        buffer.compact(rng() % 4 == 0);
      }
    }
  } catch (...) {
    ::_exit(2);
  }
}

}  // namespace

// Killed at random instants, the buffer never loses an event it counted,
// never brings back one whose removal finished, and keeps its order.
TEST(EventsEndToEnd, KillNineAtAnyInstantLosesNothingCountedAsBuffered) {
  TempDir dir;
  const auto file = dir / "Event.Sav";
  std::mt19937 rng(std::random_device{}());
  long last_added = 0;  // highest number whose add returned
  long kept_from = 1;  // every number from here to last_added must be there
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int rounds = 0;
  while (std::chrono::steady_clock::now() < until) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      soak_child(file, last_added + 1, fds[1]);
    }
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 150000));  // a random instant to kill at
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;
    std::string report;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) report.append(chunk, static_cast<std::size_t>(n));
    ::close(fds[0]);
    std::istringstream in(report);
    for (std::string kind; in >> kind;) {
      long n = 0;
      in >> n;
      if (kind == "A") last_added = n;
      if (kind == "R") kept_from = n;
    }

    EventBuffer reloaded;
    ASSERT_FALSE(reloaded.load(file).torn_last_line) << "round " << rounds;
    std::vector<long> numbers;
    for (const auto& l : reloaded.lines()) numbers.push_back(std::stol(l));
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "round " << rounds;
    if (last_added >= kept_from) {
      ASSERT_FALSE(numbers.empty()) << "round " << rounds;
      // Either as last reported, or one removal further (killed before it could say so).
      EXPECT_TRUE(numbers.front() == kept_from || numbers.front() == kept_from + 3)
          << numbers.front() << " vs " << kept_from << ", round " << rounds;
      EXPECT_GE(numbers.back(), last_added) << "round " << rounds;
      EXPECT_LE(numbers.back(), last_added + kGroup) << "round " << rounds;  // a group in flight
    }
    if (!numbers.empty()) {
      last_added = numbers.back();  // an add in flight that made it counts from now on
      kept_from = numbers.front();
    }
    ++rounds;
  }
  EXPECT_GT(last_added, 0);
  std::printf("soak: %d kills, %ld events added\n", rounds, last_added);
}
