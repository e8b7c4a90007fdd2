// Polls per second over a real pty against i7000-sim with 1, 4 and 8
// modules: the bare wire round trip (reference), the DCON client, and the
// whole read cycle of a station, with the station thread's CPU per poll.
#include "device/serial_line.hpp"
#include "station/station.hpp"

#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  Sim(const fs::path& l, int modules) : link(l) {
    std::vector<std::string> args{sim_program().string(), "--link", link.string()};
    for (int i = 1; i <= modules; ++i) args.insert(args.end(), {"--module", fmt::format("{:X}", i)});
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
    for (int m = 1; m <= modules; ++m, ++polls) failed += line.read_module(m, false, std::chrono::milliseconds(200), area) != 0;
  if (failed) fmt::print("  ({} failed client polls)\n", failed);
  return static_cast<double>(polls) / std::chrono::duration<double>(kRun).count();
}


struct StationFigures {
  double polls_per_second = 0;
  double cpu_us_per_poll = 0;
  long errors = 0;
};

StationFigures station_polls(const fs::path& dir, const fs::path& link, int modules) {
  {
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
  asio::io_context ioc;
  OperatorLog log(ioc);
  long errors = 0;
  log.add_observer([&](const std::string& l) { errors += l.rfind("The Error Code:", 0) == 0; });
  test::ManualClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  SerialDeviceLine line(ComPortMap{{3, link.string()}});
  StationFigures f;
  {
    Station station(ioc, log, StationDeps{clock, flag, power, nullptr, &line}, dir);
    station.load_channels();
    station.load_sensor_list();
    station.link_channels();
    if (!station.open_device_line()) return f;
    long cycles = 0;
    const double cpu0 = thread_cpu_seconds();
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < kRun) {
      station.on_read_tick();
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
  fs::remove_all(dir);
  return 0;
}
