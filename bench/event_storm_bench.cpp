// An event storm: 32 digital channels toggling at every check (EventSample
// 100 ms, a minute of checks on a manual clock) while the host is down, then
// the host comes up. Prints the figures, next to one write + fdatasync per
// line into a plain file in the same folder (the same run's reference), and
// checks that every event arrived exactly once, in order.
//
// The checks run in rounds of up to 100, each after a block of the
// reference's lines: a disk whose flushes slow down or speed up during the
// run does so for both, and each round gives a ratio of its own. The ratio
// printed is the median of the rounds' ratios.
//   event_storm_bench [checks=600]
#include "median.hpp"
#include "net/ftp_uplink.hpp"
#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/power_control.hpp"
#include "station/station.hpp"

#include "support/black_hole.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

const fs::path kServer = fs::path(ORVANE_SOURCE_DIR) / "tests" / "support" / "ftp_server.py";

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const int checks = argc > 1 ? std::atoi(argv[1]) : 600;
  const auto dir = fs::temp_directory_path() / ("orvane-storm-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "station" / "log");
  fs::create_directories(dir / "root" / "kyvex" / "debug" / "data");

  asio::io_context ioc;
  orvane::OperatorLog log(ioc);
  orvane::test::ManualClock clock(orvane::make_local_time(2006, 12, 7, 12, 0));
  orvane::FtpUplink ftp;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  orvane::StationDeps deps{clock, flag, power, nullptr};
  deps.uplink = &ftp;
  orvane::Station station(ioc, log, deps, dir / "station");
  station.event_path().load();
  const int port = orvane::test::closed_loopback_port();  // the host is down until the server starts there
  station.settings().host = "localhost";
  station.settings().server_port = port;
  station.channel_table().sensors().set_row_count(33);
  for (int r = 1; r <= 32; ++r) {
    auto& row = station.channel_table().sensors().row(r);
    row[orvane::col::kPortId] = "D" + std::to_string(r);
    row[orvane::col::kPortType] = "D";
    row[orvane::col::kEnabled] = "Y";
  }

  // The reference: one write + fdatasync per event line, same folder.
  const std::string sample =
      "\x01\x02"
      "EVENTD 200612071200 F1 F1S1 D1 IS 1\x03\x04\r\n";
  const int plain = ::open((dir / "station" / "plain.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (plain < 0) return 1;
  constexpr int kRoundChecks = 100;
  int ref_lines = 0, checked = 0;
  double ref_s = 0, storm_s = 0;
  std::size_t buffered = 0;
  std::vector<double> ratios;
  while (checked < checks) {
    const int lines = std::max(100, std::min(kRoundChecks, checks - checked));
    auto t0 = Steady::now();
    for (int i = 0; i < lines; ++i)
      if (::write(plain, sample.data(), sample.size()) < 0 || ::fdatasync(plain) != 0) return 1;
    const double round_ref_s = std::chrono::duration<double>(Steady::now() - t0).count();

    const int round_checks = std::min(kRoundChecks, checks - checked);
    t0 = Steady::now();
    for (int c = checked; c < checked + round_checks; ++c) {
      for (int r = 1; r <= 32; ++r) station.channel_table().panel(r).value = (c % 2 == 0) ? "1" : "0";
      orvane::StationTicks::event(station);  // the host is down: the worker's attempts fail
      clock.advance(std::chrono::milliseconds(100));
    }
    const double round_storm_s = std::chrono::duration<double>(Steady::now() - t0).count();
    const std::size_t now_buffered = station.event_path().buffer().size();
    ratios.push_back(((now_buffered - buffered) / round_storm_s) / (lines / round_ref_s));
    buffered = now_buffered;
    checked += round_checks;
    ref_lines += lines;
    ref_s += round_ref_s;
    storm_s += round_storm_s;
  }
  ::close(plain);
  const double ref_ps = ref_lines / ref_s;
  std::printf("reference: write + fdatasync per line, %d lines: %.0f lines/s\n", ref_lines, ref_ps);
  station.event_path().delivery().join_worker();
  const auto expected = station.event_path().buffer().lines();
  const double median_ratio = median_of(ratios);
  std::printf(
      "storm: %d checks, %zu events buffered in %.2f s (%.0f events/s, uploads handed to the worker; "
      "ratio to the reference %.1f)\n",
      checks, expected.size(), storm_s, expected.size() / storm_s, median_ratio);
  std::sort(ratios.begin(), ratios.end());
  std::printf("rounds' ratios:");
  for (double r : ratios) std::printf(" %.1f", r);
  std::printf("\n");

  const pid_t server = ::fork();
  if (server == 0) {
    const int fd = ::open("/dev/null", O_WRONLY);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    const auto root = (dir / "root").string();
    const auto port_text = std::to_string(port);
    ::execl("/usr/bin/python3", "python3", kServer.c_str(), "--root", root.c_str(), "--port", port_text.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The server's start-up is not part of the figures; on a busy machine
  // python takes seconds to start, so wait until it accepts.
  for (int i = 0; i < 1200 && !accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  auto t0 = Steady::now();
  int ticks = 0;
  while (!station.event_path().buffer().empty() && ticks < 1000) {
    orvane::StationTicks::event(station);  // values unchanged: no new events, only the upload
    station.event_path().delivery().join_worker();
    ++ticks;
  }
  const double up_s = std::chrono::duration<double>(Steady::now() - t0).count();
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);

  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir / "root" / "kyvex" / "debug" / "data"))
    files[e.path().filename()] = read_all(e.path());
  std::vector<std::string> arrived;
  for (auto& [name, bytes] : files) arrived.push_back(bytes);
  const bool exact =
      arrived == expected && station.event_path().buffer().empty() && read_all(dir / "station" / "Event.Sav").empty();
  std::printf("delivery: %zu files in %.2f s over %d upload(s), %.0f events/s; every event once and in order: %s\n",
              files.size(), up_s, ticks, files.size() / up_s, exact ? "yes" : "NO");
  fs::remove_all(dir);
  return exact ? 0 : 1;
}
