// Load tool for the command server: C hosts each send a READ_DATA request and
// wait for its EOT-terminated reply, in a loop, against
//   - the real station: the built orvane-emulator, headless, in a scratch
//     station directory with 32 channels (stdout to /dev/null), and
//   - a reference server: a minimal non-blocking epoll server that answers
//     every EOT-terminated request with the station's own reply, canned (the
//     same bytes, so the same size): the ceiling of this machine.
// Both servers run on one core, the load generator on the other, so the
// generator never competes with the server it measures. The generator is one
// epoll thread with every connection, one send and one recv per round trip
// and no allocation per request: if the reference doesn't reach the
// machine's ceiling, the tool is the bottleneck and its ratios mean nothing.
//
//   command_load [--connections 1,8,64] [--seconds 3] [--rounds 3] [--channels 32]
//                [--station PATH/orvane-emulator]
//
// The servers run in `rounds` pairs of runs, back to back, which one goes
// first alternating. Each figure is the median (by round trips/s) of a
// server's runs; each ratio is the median of the pairs' own ratios, so a
// burst of other work on a shared machine, or a slow swing of its speed,
// doesn't decide the result. Beside the round trips, each server's CPU time
// per round trip (from /proc/.../schedstat): when other work crowds the
// servers' core, round trips/s measure the share each got, while CPU time
// per round trip still measures the cost.
#include "median.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "command_load: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// The first two CPUs this process may use: servers on the first, load on the second.
std::pair<int, int> two_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) fail("sched_getaffinity");
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; ++c)
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  if (cpus.size() < 2) {
    std::fprintf(stderr, "command_load: needs two CPUs\n");
    std::exit(1);
  }
  return {cpus[0], cpus[1]};
}

void pin_this_thread(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (::sched_setaffinity(0, sizeof set, &set) != 0) fail("sched_setaffinity");
}

void set_nodelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto a = loopback(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  set_nodelay(fd);
  return fd;
}

// ---- reference server: epoll, level-triggered, one canned reply per EOT ----
class ReferenceServer {
 public:
  explicit ReferenceServer(std::string reply) : reply_(std::move(reply)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const auto a = loopback(0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_fd_, 1024) != 0)
      fail("reference listen");
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin_port);
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    ::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK);
    add(listen_fd_);
    add(stop_pipe_[0]);
  }
  ~ReferenceServer() {
    for (int fd : {listen_fd_, ep_, stop_pipe_[0], stop_pipe_[1]}) ::close(fd);
  }
  int port() const { return port_; }

  void run(int cpu) {
    pin_this_thread(cpu);
    tid_ = static_cast<int>(::gettid());
    std::vector<char> in(64 << 10);
    std::string out;
    epoll_event events[256];
    for (;;) {
      const int n = ::epoll_wait(ep_, events, 256, -1);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_pipe_[0]) return;
        if (fd == listen_fd_) {
          for (int c; (c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            set_nodelay(c);
            add(c);
          }
          continue;
        }
        const ssize_t got = ::recv(fd, in.data(), in.size(), 0);
        if (got <= 0) {
          if (got < 0 && errno == EAGAIN) continue;
          ::close(fd);  // leaves the epoll set with it
          continue;
        }
        const auto eots = std::count(in.data(), in.data() + got, '\x04');
        if (eots == 0) continue;
        const char* data = reply_.data();
        std::size_t size = reply_.size();
        if (eots > 1) {
          out.clear();
          for (long k = 0; k < eots; ++k) out += reply_;
          data = out.data();
          size = out.size();
        }
        // One outstanding request per host: the reply always fits the socket buffer.
        while (size > 0) {
          const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
          if (put < 0) break;
          data += put;
          size -= static_cast<std::size_t>(put);
        }
      }
    }
  }
  void stop() { (void)!::write(stop_pipe_[1], "x", 1); }
  std::filesystem::path proc() const { return "/proc/self/task/" + std::to_string(tid_.load()); }

 private:
  void add(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
  }
  std::string reply_;
  int listen_fd_ = -1, ep_ = -1, port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::atomic<int> tid_{0};
};

// ---- the load generator: one epoll thread, every connection ----
struct Result {
  double rps = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
  double cpu_us_per_rt = 0;  // the server's CPU time per round trip
  std::size_t errors = 0;
};

// CPU time (ns) used so far by every thread of a process, or by one thread.
std::int64_t cpu_ns(const std::filesystem::path& proc_dir) {
  std::int64_t total = 0;
  auto add = [&total](const std::filesystem::path& schedstat) {
    std::ifstream in(schedstat);
    std::int64_t ns = 0;
    if (in >> ns) total += ns;
  };
  if (std::filesystem::exists(proc_dir / "task")) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(proc_dir / "task", ec)) add(task.path() / "schedstat");
  } else {
    add(proc_dir / "schedstat");
  }
  return total;
}

struct HostConn {
  int fd = -1;
  std::int64_t sent_ns = 0;
  std::size_t got = 0;
};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// `server`: the /proc folder of the server's process or thread, whose CPU
// time over the measured window is taken.
Result run_load(int port, const std::string& request, std::size_t reply_size, int connections, double seconds,
                const std::filesystem::path& server) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<HostConn> conns(static_cast<std::size_t>(connections));
  Result r;
  for (std::size_t i = 0; i < conns.size(); ++i) {
    conns[i].fd = connect_to(port);
    if (conns[i].fd < 0) fail("connect");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
  }
  // Room for every latency of the run, reserved up front: nothing is
  // allocated while the load runs.
  std::vector<std::uint32_t> latencies;
  latencies.reserve(static_cast<std::size_t>(seconds * 400000) + 1024);
  std::vector<char> buf(std::max<std::size_t>(reply_size * 2, 64 << 10));
  const std::int64_t start = now_ns();
  const std::int64_t from = start + 300'000'000;  // warm-up
  const std::int64_t until = from + static_cast<std::int64_t>(seconds * 1e9);
  auto send_request = [&](HostConn& c, std::int64_t t) {
    c.sent_ns = t;
    c.got = 0;
    if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) ++r.errors;
  };
  for (auto& c : conns) send_request(c, now_ns());
  std::size_t in_flight = conns.size();
  std::int64_t cpu_from = -1, cpu_until = -1;
  epoll_event events[256];
  while (in_flight > 0) {
    const int n = ::epoll_wait(ep, events, 256, 1000);
    if (n == 0) {
      ++r.errors;  // a whole second without a reply: the server is stuck
      break;
    }
    for (int i = 0; i < n; ++i) {
      auto& c = conns[events[i].data.u64];
      const ssize_t got = ::recv(c.fd, buf.data(), buf.size(), 0);
      if (got <= 0) {
        if (got < 0 && errno == EAGAIN) continue;
        ++r.errors;
        ::epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        --in_flight;
        continue;
      }
      c.got += static_cast<std::size_t>(got);
      if (c.got < reply_size || buf[static_cast<std::size_t>(got) - 1] != '\x04') continue;
      const std::int64_t t = now_ns();
      if (cpu_from < 0 && t >= from) cpu_from = cpu_ns(server);
      if (cpu_until < 0 && t >= until) cpu_until = cpu_ns(server);
      if (c.sent_ns >= from && c.sent_ns < until && latencies.size() < latencies.capacity())
        latencies.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(t - c.sent_ns, UINT32_MAX)));
      if (t < until) {
        send_request(c, t);
      } else {
        --in_flight;
      }
    }
  }
  for (auto& c : conns) ::close(c.fd);
  ::close(ep);
  if (latencies.empty()) return r;
  std::sort(latencies.begin(), latencies.end());
  r.rps = static_cast<double>(latencies.size()) / seconds;
  r.p50_us = latencies[latencies.size() / 2] / 1000.0;
  r.p99_us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)] / 1000.0;
  r.max_us = latencies.back() / 1000.0;
  if (cpu_from >= 0 && cpu_until > cpu_from)
    r.cpu_us_per_rt = static_cast<double>(cpu_until - cpu_from) / 1000.0 / static_cast<double>(latencies.size());
  return r;
}

// One request, its whole reply (up to EOT).
std::string one_reply(int port, const std::string& request) {
  const int fd = connect_to(port);
  if (fd < 0) return {};
  std::string reply;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (reply.empty() || reply.back() != '\x04') && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
      reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply;
}

// ---- the station: the real binary in a scratch directory ----
class StationProcess {
 public:
  StationProcess(const std::filesystem::path& program, int channels, int cpu) {
    char tmpl[] = "/tmp/orvane-load-XXXXXX";
    if (!::mkdtemp(tmpl)) fail("mkdtemp");
    dir_ = tmpl;
    std::filesystem::create_directory(dir_ / "log");
    std::filesystem::create_directory(dir_ / "history");
    std::string channel_con, sensor_con, last_con;
    for (int n = 1; n <= channels; ++n) {
      const auto id = "T" + std::to_string(100 + n);
      channel_con += id + ",A,I,1,1," + std::to_string((n - 1) % 8) + ",Y\r\n";
      sensor_con += "," + id + ",A,I,Y,0,1000,,,,,,,,\r\n";
      last_con += id + "," + std::to_string(1000 + 7 * n) + "\r\n";
    }
    port_ = free_port();
    write(dir_ / "channel.con", channel_con);
    write(dir_ / "sensor.con", sensor_con);
    write(dir_ / "last.con", last_con);
    write(dir_ / "flag", "1\r\n");
    write(dir_ / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port_) + "\r\n");
    const std::vector<std::string> args{program.string(), "--headless",
                                        "--dir",          dir_.string(),
                                        "--lock-file",    (dir_ / "lock").string(),
                                        "--flag-file",    (dir_ / "flag").string(),
                                        "--reboot-cmd",   "true",
                                        "--poweroff-cmd", "true"};
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(cpu, &set);
      ::sched_setaffinity(0, sizeof set, &set);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      const int fd = connect_to(port_);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "command_load: the station did not listen on %d\n", port_);
    std::exit(1);
  }
  ~StationProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  int port() const { return port_; }
  std::filesystem::path proc() const { return "/proc/" + std::to_string(pid_); }

 private:
  static void write(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    auto a = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

std::vector<int> parse_list(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) out.push_back(std::atoi(part.c_str()));
  return out;
}

Result median(std::vector<Result> runs) {
  std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.rps < b.rps; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> conn_counts{1, 8, 64};
  double seconds = 3;
  int channels = 32;
  int rounds = 3;
  std::filesystem::path program =
      std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "orvane-emulator";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--connections")
      conn_counts = parse_list(argv[i + 1]);
    else if (a == "--seconds")
      seconds = std::atof(argv[i + 1]);
    else if (a == "--channels")
      channels = std::atoi(argv[i + 1]);
    else if (a == "--rounds")
      rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--station")
      program = argv[i + 1];
  }
  ::signal(SIGPIPE, SIG_IGN);
  const auto [server_cpu, load_cpu] = two_cpus();

  StationProcess station(program, channels, server_cpu);
  const std::string request =
      "\x01"
      "load\x02READ_DATA 200612071200 F1 S1\x03\x04";
  const std::string reply = one_reply(station.port(), request);
  if (reply.empty() || std::count(reply.begin(), reply.end(), '\x02') != channels) {
    std::fprintf(stderr, "command_load: the station's READ_DATA reply is not what was expected\n");
    return 1;
  }

  ReferenceServer reference(reply);
  std::thread ref_thread([&, cpu = server_cpu] { reference.run(cpu); });
  pin_this_thread(load_cpu);
  if (one_reply(reference.port(), request) != reply) {
    std::fprintf(stderr, "command_load: the reference server's reply differs from the station's\n");
    return 1;
  }

  std::printf(
      "READ_DATA, %d channels, reply %zu bytes, %d paired runs of %.1f s (figures: medians of the runs, "
      "ratios: medians of the pairs' ratios); servers on CPU %d, load generator on CPU %d\n",
      channels, reply.size(), rounds, seconds, server_cpu, load_cpu);
  std::printf("%-6s %-10s %14s %10s %10s %10s %8s %12s %10s\n", "conns", "server", "round trips/s", "p50 us", "p99 us",
              "max us", "ratio", "cpu us/rt", "cpu ratio");
  int status = 0;
  for (int c : conn_counts) {
    // Runs in pairs, the two servers back to back, which one first
    // alternating: the machine's slow swings fall on both alike, and each
    // pair gives a ratio of its own. The ratios reported are the medians of
    // the pairs' ratios.
    std::vector<Result> ref_runs, st_runs;
    std::vector<double> ratios, cpu_ratios;
    for (int r = 0; r < rounds; ++r) {
      const auto run_reference = [&] {
        ref_runs.push_back(run_load(reference.port(), request, reply.size(), c, seconds, reference.proc()));
      };
      const auto run_station = [&] {
        st_runs.push_back(run_load(station.port(), request, reply.size(), c, seconds, station.proc()));
      };
      if (r % 2 == 0) {
        run_reference();
        run_station();
      } else {
        run_station();
        run_reference();
      }
      const Result &a = ref_runs.back(), &b = st_runs.back();
      ratios.push_back(a.rps > 0 ? b.rps / a.rps : 0.0);
      cpu_ratios.push_back(b.cpu_us_per_rt > 0 ? a.cpu_us_per_rt / b.cpu_us_per_rt : 0.0);
    }
    const Result ref = median(ref_runs), st = median(st_runs);
    std::printf("%-6d %-10s %14.0f %10.1f %10.1f %10.1f %8s %12.2f\n", c, "reference", ref.rps, ref.p50_us, ref.p99_us,
                ref.max_us, "", ref.cpu_us_per_rt);
    std::printf("%-6d %-10s %14.0f %10.1f %10.1f %10.1f %8.2f %12.2f %10.2f\n", c, "station", st.rps, st.p50_us,
                st.p99_us, st.max_us, median_of(ratios), st.cpu_us_per_rt, median_of(cpu_ratios));
    std::sort(ratios.begin(), ratios.end());
    std::printf("%-6d pairs' ratios:", c);
    for (double x : ratios) std::printf(" %.2f", x);
    std::printf("\n");
    if (ref.errors + st.errors > 0) {
      std::printf("%-6d errors: reference %zu, station %zu\n", c, ref.errors, st.errors);
      status = 1;
    }
    if (c == 8 && ref.rps < 100000)
      std::printf(
          "note: the reference stays under 100 000 round trips/s at 8 connections: the machine was busy "
          "or the load generator is the bottleneck\n");
    std::fflush(stdout);
  }
  reference.stop();
  ref_thread.join();
  return status;
}
