// The host polls READ_DATA at 10 requests/s while the FTP host swallows the
// station's uploads: a listener that accepts and never answers, and one
// whose accept queue is full so SYNs go unanswered (both on loopback). 100
// events wait and the event check runs every second, so an upload is
// attempted at every tick. The reference, in the same run, is the same
// station whose FTP host refuses at once (nothing listening). Prints the
// latency distribution of each case and how long closing the station took
// with an upload stuck.
//
//   black_hole_bench [--seconds 60]
#include "free_port.hpp"
#include "net/command_server.hpp"
#include "net/ftp_uplink.hpp"
#include "platform/clock.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include "support/black_hole.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

struct Figures {
  std::vector<double> ms;  // sorted latencies
  double stop_ms = 0;  // closing the station
  std::size_t waiting_at_end = 0;
  double at(double q) const { return ms.empty() ? 0 : ms[std::min(ms.size() - 1, std::size_t(q * ms.size()))]; }
};

Figures run_case(int ftp_port, double seconds) {
  const fs::path dir =
      fs::temp_directory_path() / ("orvane-blackhole-" + std::to_string(::getpid()) + "-" + std::to_string(ftp_port));
  fs::create_directories(dir / "log");
  fs::create_directories(dir / "history");
  std::string channel_con, sensor_con, backlog;
  for (int n = 1; n <= 32; ++n) {
    const auto id = "T" + std::to_string(100 + n);
    channel_con += id + ",A,I,1,1," + std::to_string((n - 1) % 8) + ",Y\r\n";
    sensor_con += "," + id + ",A,I,Y,0,1000,,,,,,,,\r\n";
  }
  for (int n = 0; n < 100; ++n)
    backlog +=
        "\x01\x02"
        "EVENTA 200612071200 F1 F1S1 T101 IS " +
        std::to_string(n) + "\x03\x04\r\n";
  std::ofstream(dir / "channel.con", std::ios::binary) << channel_con;
  std::ofstream(dir / "sensor.con", std::ios::binary) << sensor_con;
  std::ofstream(dir / "Event.Sav", std::ios::binary) << backlog;
  std::ofstream(dir / "emulate.ini", std::ios::binary)
      << "[Connection]\r\nClientPort=" << free_port() << "\r\nHost=localhost\r\nServerPort=" << ftp_port
      << "\r\n[Config]\r\nEventSample=1000\r\n";

  Figures f;
  {
    asio::io_context ioc;
    auto work = asio::make_work_guard(ioc);
    orvane::OperatorLog log(ioc);
    orvane::SystemClock clock;
    orvane::test::MemoryFlag flag{true};
    orvane::test::RecordingPower power{false};
    orvane::FtpUplink ftp;
    orvane::StationDeps deps{clock, flag, power, nullptr};
    deps.uplink = &ftp;
    std::optional<orvane::Station> station;
    station.emplace(ioc, log, deps, dir);
    orvane::CommandServer server(ioc, *station);
    station->set_command_listener(&server);
    std::promise<int> port;
    std::thread loop([&] {
      log.bind_to_current_thread();
      station->start();
      for (auto& ch : station->channel_table().channels().edit_all()) ch.value = "1234";
      // The event check alone, every second (no device line to read).
      asio::steady_timer event_check(ioc);
      std::function<void()> arm = [&] {
        event_check.expires_after(std::chrono::seconds(1));
        event_check.async_wait([&](std::error_code ec) {
          if (ec) return;
          station->guarded([&] { orvane::StationTicks::event(*station); });
          arm();
        });
      };
      arm();
      port.set_value(server.port());
      ioc.run();
    });
    const int fd = connect_to(port.get_future().get());
    const std::string request =
        "\x01"
        "bh\x02READ_DATA 200612071200 F1 S1\x03\x04";
    const auto until = Steady::now() + std::chrono::duration<double>(seconds);
    auto next = Steady::now();
    char buf[65536];
    while (Steady::now() < until) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(100);
      const auto t0 = Steady::now();
      if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) break;
      bool done = false;
      while (!done) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        done = std::find(buf, buf + n, '\x04') != buf + n;
      }
      if (!done) break;
      f.ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
    }
    ::close(fd);
    f.waiting_at_end = station->event_path().buffer().size();
    std::promise<void> closed;
    asio::post(ioc, [&] {
      server.close();
      station->stop_data();
      station->set_clock_active(false);
      work.reset();
      ioc.stop();
      closed.set_value();
    });
    closed.get_future().wait();
    loop.join();
    const auto t0 = Steady::now();
    station.reset();  // ends the upload under way
    f.stop_ms = std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
  }
  std::sort(f.ms.begin(), f.ms.end());
  std::error_code ec;
  fs::remove_all(dir, ec);
  return f;
}

void print(const char* name, const Figures& f) {
  std::printf("%-34s n=%4zu p50 %7.3f ms  p90 %7.3f ms  p99 %7.3f ms  max %7.3f ms  close %6.1f ms  waiting %zu\n",
              name, f.ms.size(), f.at(0.5), f.at(0.9), f.at(0.99), f.ms.empty() ? 0 : f.ms.back(), f.stop_ms,
              f.waiting_at_end);
  std::printf("  distribution (ms):");
  for (double q : {0.0, 0.1, 0.25, 0.5, 0.75, 0.9, 0.95, 0.99, 0.999}) std::printf(" q%g=%.3f", q, f.at(q));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);

  std::printf("READ_DATA at 10 requests/s for %.0f s, 100 events waiting, EventSample 1000\n", seconds);
  const auto reference = run_case(orvane::test::closed_loopback_port(), seconds);
  print("reference (FTP host refuses)", reference);
  Figures silent, no_syn;
  {
    orvane::test::BlackHole hole(orvane::test::BlackHole::Kind::silent);
    silent = run_case(hole.port(), seconds);
  }
  print("FTP host accepts, never answers", silent);
  {
    orvane::test::BlackHole hole(orvane::test::BlackHole::Kind::no_syn_answer);
    no_syn = run_case(hole.port(), seconds);
  }
  print("FTP host never answers the SYN", no_syn);
  bool ok = true;
  for (const auto* f : {&silent, &no_syn}) {
    ok = ok && !f->ms.empty() && f->at(0.99) <= 5.0 && f->ms.back() <= 50.0 && f->stop_ms <= 2000.0;
    std::printf("black hole vs reference: p99 ratio %.2f, max ratio %.2f\n", reference.at(0.99) / f->at(0.99),
                reference.ms.back() / f->ms.back());
  }
  std::printf("targets (p99 <= 5 ms, max <= 50 ms, close <= 2 s): %s\n", ok ? "met" : "NOT MET");
  return ok ? 0 : 1;
}
