// Polls per second over a real pty against i7000-sim with 1, 4 and 8
// modules: the bare wire round trip (reference), the DCON client, and the
// whole read cycle of a station, with the station thread's CPU per poll.
// Then the host's view: READ_DATA latency of a running station while it
// reads eight modules that answer (reference) and eight that never do.
#include "device/serial_line.hpp"
#include "device/serial_poller.hpp"
#include "net/command_server.hpp"
#include "platform/clock.hpp"
#include "station/station.hpp"

#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include "free_port.hpp"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace orvane;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kRun = std::chrono::milliseconds(700);
constexpr int kRounds = 3;  // best of, interleaved: the machine is shared

fs::path sim_program() {
  if (const char* p = std::getenv("I7000_SIM")) return p;
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "i7000-sim" / "i7000-sim";
}

double thread_cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Sim {
  pid_t pid = -1;
  fs::path link;
  Sim(const fs::path& l, int modules, bool silent = false) : link(l) {
    std::vector<std::string> args{sim_program().string(), "--link", link.string()};
    for (int i = 1; i <= modules; ++i) args.insert(args.end(), {"--module", fmt::format("{:X}", i)});
    for (int i = 1; silent && i <= modules; ++i) args.insert(args.end(), {"--fault", fmt::format("{:X}=silent", i)});
    pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 500 && !fs::is_symlink(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Sim() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
};

// The reference: request and reply bytes only, no flush, no parsing.
double bare_polls_per_second(const fs::path& link, int modules) {
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  long polls = 0;
  const auto end = Clock::now() + kRun;
  char buf[256];
  while (Clock::now() < end) {
    for (int m = 1; m <= modules; ++m, ++polls) {
      const auto req = dcon_read_all_request(m, false);
      if (::write(fd, req.data(), req.size()) < 0) return 0;
      for (bool done = false; !done;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return 0;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return 0;
        done = buf[n - 1] == '\r';
      }
    }
  }
  ::close(fd);
  return static_cast<double>(polls) / std::chrono::duration<double>(kRun).count();
}

double client_polls_per_second(const fs::path& link, int modules) {
  SerialDeviceLine line(ComPortMap{{3, link.string()}});
  if (line.open(3, 9600) != 0) return 0;
  AnalogReadings area{};
  long polls = 0, failed = 0;
  const auto end = Clock::now() + kRun;
  while (Clock::now() < end)
    for (int m = 1; m <= modules; ++m, ++polls)
      failed += line.read_module(m, false, std::chrono::milliseconds(200), area) != 0;
  if (failed) fmt::print("  ({} failed client polls)\n", failed);
  return static_cast<double>(polls) / std::chrono::duration<double>(kRun).count();
}

struct StationFigures {
  double polls_per_second = 0;
  double cpu_us_per_poll = 0;
  long errors = 0;
};

// Module and channel files for `modules` modules of eight channels each
// (at most 32 rows on panels).
void write_module_files(const fs::path& dir, int modules) {
  std::ofstream m(dir / "module.con"), c(dir / "channel.con"), s(dir / "sensor.con");
  for (int i = 1; i <= modules; ++i) {
    m << i << ",4017,A," << fmt::format("{:X}", i) << ",Y\r\n";
    for (int k = 0; k < 8; ++k) {
      const int row = (i - 1) * 8 + k + 1;
      c << "C" << row << ",A,I," << i << "," << i << "," << k << ",Y\r\n";
      s << row << ",C" << row << ",A,I,Y,0,1000,100,500,900\r\n";
    }
  }
}

StationFigures station_polls(const fs::path& dir, const fs::path& link, int modules) {
  write_module_files(dir, modules);
  asio::io_context ioc;
  OperatorLog log(ioc);
  long errors = 0;
  log.add_observer([&](const std::string& l) { errors += l.rfind("The Error Code:", 0) == 0; });
  test::ManualClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  SerialModulePoller line(ioc, ComPortMap{{3, link.string()}});
  StationFigures f;
  {
    Station station(ioc, log, StationDeps{clock, flag, power, nullptr, &line}, dir);
    station.channel_table().load_channels();
    station.channel_table().load_sensor_list();
    station.channel_table().link_channels();
    if (!StationTicks::open_device_line(station)) return f;
    long cycles = 0;
    const double cpu0 = thread_cpu_seconds();
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < kRun) {
      StationTicks::read(station);
      ioc.restart();
      while (station.acquisition().polling() && ioc.run_one() > 0) {}
      ++cycles;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = thread_cpu_seconds() - cpu0;
    const double polls = static_cast<double>(cycles * modules);
    f.polls_per_second = polls / wall;
    f.cpu_us_per_poll = cpu / polls * 1e6;
  }
  ioc.restart();
  ioc.poll();
  f.errors = errors;
  return f;
}

struct Latency {
  long requests = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
  long read_errors = 0;
};

// One host asks READ_DATA every 10 ms for `seconds` of a station that reads
// its modules every 100 ms (a whole station: command server, timers, read
// cycles, event checks, history sampling).
Latency read_data_latency(const fs::path& dir, const fs::path& link, int modules, double seconds) {
  fs::create_directories(dir);
  write_module_files(dir, std::min(modules, 4));  // 32 channels on panels
  if (modules > 4) {
    std::ofstream m(dir / "module.con", std::ios::app);
    for (int i = 5; i <= modules; ++i) m << i << ",4017,A," << fmt::format("{:X}", i) << ",Y\r\n";
  }
  std::ofstream(dir / "emulate.ini") << "[Connection]\r\nClientPort=" << free_port()
                                     << "\r\n[Config]\r\nHistorySample=100\r\nEventSample=100\r\n[READ]\r\nPort=3\r\n";
  std::ofstream(dir / "auto.con") << "1\r\n";
  fs::create_directories(dir / "log");
  fs::create_directories(dir / "history");

  asio::io_context ioc;
  auto work = asio::make_work_guard(ioc);
  OperatorLog log(ioc);
  std::atomic<long> errors{0};
  log.add_observer([&](const std::string& l) { errors += l.rfind("The Error Code:", 0) == 0; });
  SystemClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  SerialModulePoller line(ioc, ComPortMap{{3, link.string()}});
  Station station(ioc, log, StationDeps{clock, flag, power, nullptr, &line}, dir);
  CommandServer server(ioc, station);
  station.set_command_listener(&server);
  std::promise<int> port;
  std::thread station_thread([&] {
    log.bind_to_current_thread();
    station.start();
    port.set_value(station.data_mode() == DataMode::reading ? server.port() : 0);
    ioc.run();
  });
  Latency out;
  std::vector<double> us;
  if (const int p = port.get_future().get()) {
    asio::io_context client_ioc;
    asio::ip::tcp::socket sock(client_ioc);
    sock.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(p)});
    sock.set_option(asio::ip::tcp::no_delay(true));
    const std::string request =
        "\x01"
        "lat\x02READ_DATA 200612071200 F1 S1\x03\x04";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the first cycles are out
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = Clock::now();
    std::array<char, 8192> buf{};
    std::error_code ec;
    while (next < end && !ec) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(10);
      const auto t0 = Clock::now();
      asio::write(sock, asio::buffer(request), ec);
      for (bool whole = false; !whole && !ec;) {
        const auto n = sock.read_some(asio::buffer(buf), ec);
        whole = n > 0 && buf[n - 1] == '\x04';
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
  }
  asio::post(ioc, [&] {
    server.close();
    station.stop_data();
    station.set_clock_active(false);
    work.reset();
    ioc.stop();
  });
  station_thread.join();
  std::sort(us.begin(), us.end());
  out.requests = static_cast<long>(us.size());
  if (!us.empty()) {
    out.p50_us = us[us.size() / 2];
    out.p99_us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    out.max_us = us.back();
  }
  out.read_errors = errors;
  return out;
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  if (!fs::exists(sim_program())) {
    fmt::print(stderr, "i7000-sim not found at {} (set I7000_SIM)\n", sim_program().string());
    return 1;
  }
  const auto dir = fs::temp_directory_path() / fmt::format("orvane-pty-bench-{}", ::getpid());
  fs::create_directories(dir);
  fmt::print("{:>7} | {:>14} | {:>14} | {:>14} | {:>8} | {:>16}\n", "modules", "bare polls/s", "client polls/s",
             "station polls/s", "ratio", "station CPU/poll");
  for (const int n : {1, 4, 8}) {
    Sim sim(dir / "i7000", n);
    double bare = 0, client = 0;
    StationFigures st;
    for (int round = 0; round < kRounds; ++round) {
      bare = std::max(bare, bare_polls_per_second(sim.link, n));
      client = std::max(client, client_polls_per_second(sim.link, n));
      const auto f = station_polls(dir, sim.link, n);
      if (f.polls_per_second > st.polls_per_second) st = f;
    }
    fmt::print("{:>7} | {:>14.0f} | {:>14.0f} | {:>15.0f} | {:>8.2f} | {:>13.1f} us{}\n", n, bare, client,
               st.polls_per_second, bare > 0 ? st.polls_per_second / bare : 0.0, st.cpu_us_per_poll,
               st.errors ? fmt::format("  ({} read errors)", st.errors) : "");
  }

  constexpr int kModules = 8;
  constexpr double kSeconds = 5;
  fmt::print("\nREAD_DATA latency, one host at 100 requests/s for {:.0f} s, station reading {} modules every 100 ms\n",
             kSeconds, kModules);
  fmt::print("{:>9} | {:>8} | {:>10} | {:>10} | {:>10} | {:>11}\n", "modules", "requests", "p50 us", "p99 us", "max us",
             "read errors");
  Latency answering, silent;
  for (const bool quiet : {false, true}) {
    Sim sim(dir / "i7000", kModules, quiet);
    const auto l = read_data_latency(dir / (quiet ? "silent" : "answering"), sim.link, kModules, kSeconds);
    fmt::print("{:>9} | {:>8} | {:>10.0f} | {:>10.0f} | {:>10.0f} | {:>11}\n", quiet ? "silent" : "answering",
               l.requests, l.p50_us, l.p99_us, l.max_us, l.read_errors);
    (quiet ? silent : answering) = l;
  }
  fmt::print("silent p99 {:.2f} ms (target <= 5 ms), {:.2f} x the answering p99\n", silent.p99_us / 1000,
             answering.p99_us > 0 ? silent.p99_us / answering.p99_us : 0.0);
  fs::remove_all(dir);
  return 0;
}
