// i7000-sim: answers DCON "read all analog inputs" requests for one or more
// simulated I-7017 modules on a pseudo-terminal, so the station can be run
// and tested without an RS-485 line.
#include "device/simulated_modules.hpp"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// The simulated modules and how the tool runs them.
struct Simulator : orvane::SimulatedModules {
  bool verbose = false;
};

int run(const std::string& link, Simulator& sim) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::cerr << "i7000-sim: cannot open a pseudo-terminal: " << std::strerror(errno) << "\n";
    return 1;
  }
  const std::string slave_path = ::ptsname(master);
  // Holding the slave open keeps the master readable while no station is
  // attached (otherwise it reports a hang-up), and lets us set raw mode once.
  const int slave = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    std::cerr << "i7000-sim: cannot open " << slave_path << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave, TCSANOW, &tio);

  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(link, ec)) && !fs::is_symlink(fs::symlink_status(link, ec))) {
    std::cerr << "i7000-sim: " << link << " exists and is not a symbolic link\n";
    return 1;
  }
  const std::string tmp = link + ".tmp" + std::to_string(::getpid());
  fs::remove(tmp, ec);
  fs::create_symlink(slave_path, tmp, ec);
  if (!ec) fs::rename(tmp, link, ec);
  if (ec) {
    std::cerr << "i7000-sim: cannot link " << link << ": " << ec.message() << "\n";
    return 1;
  }
  std::cout << "i7000-sim: ready " << link << " -> " << slave_path << std::endl;

  sigset_t blocked, waitmask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waitmask);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const auto start = Clock::now();
  std::string request, input_line;
  bool stdin_open = true;
  struct Pending {
    Clock::time_point due;
    std::string bytes;
  };
  std::deque<Pending> pending;

  while (!g_stop) {
    int timeout_ms = -1;
    if (!pending.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(pending.front().due - Clock::now()).count();
      timeout_ms = left < 0 ? 0 : static_cast<int>(left);
    }
    pollfd fds[2] = {{master, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
    timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    const int r = ::ppoll(fds, 2, timeout_ms < 0 ? nullptr : &ts, &waitmask);
    if (r < 0 && errno != EINTR) break;
    while (!pending.empty() && pending.front().due <= Clock::now()) {
      const auto& b = pending.front().bytes;
      if (::write(master, b.data(), b.size()) < 0 && sim.verbose) std::cerr << "i7000-sim: write failed\n";
      pending.pop_front();
    }
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      char buf[256];
      const ssize_t n = ::read(master, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') continue;
        if (buf[i] != '\r') {
          if (request.size() < 1024) request.push_back(buf[i]);
          continue;
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        if (sim.verbose) std::cerr << "i7000-sim: <- " << request << "\n";
        if (auto reply = sim.answer(request, t))
          pending.push_back({Clock::now() + std::chrono::milliseconds(sim.delay_ms), std::move(*reply)});
        request.clear();
      }
    }
    if (stdin_open && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[256];
      const ssize_t n = ::read(0, buf, sizeof buf);
      if (n <= 0) {
        stdin_open = false;
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') {
          if (const auto said = sim.command(input_line); !said.empty()) std::cout << said << std::endl;
          input_line.clear();
        } else if (buf[i] != '\r' && input_line.size() < 1024) {
          input_line.push_back(buf[i]);
        }
      }
    }
  }
  fs::remove(link, ec);
  ::close(slave);
  ::close(master);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "i7000-sim: simulated I-7017 analog input modules on a pseudo-terminal.\n\n"
      "Opens a pty, links its slave device to LINK and answers the DCON request #AA (read all\n"
      "eight inputs) for each simulated module: \">\" and eight readings like +05.123. Point the\n"
      "station at it with: orvane-emulator --com 3=LINK\n\n"
      "Value sources (--input ADDR:N=SOURCE, N = 0..7 or * for all):\n"
      "  const:V                  a constant\n"
      "  sine:MID:AMP:PERIOD_S    MID + AMP*sin(2*pi*t/PERIOD_S)   (default sine:10:8:20)\n"
      "  ramp:FROM:TO:PERIOD_S    saw-tooth from FROM to TO\n"
      "  walk:START:STEP          random walk, seeded by --seed, module and input\n"
      "  alternate:A:B            A, B, A, ... one per reading\n\n"
      "Lines on stdin while running:\n"
      "  A N V                    module A, input N := V (constant), e.g. \"1 3 12.5\"\n"
      "  fault A KIND             KIND: none, silent, garbage, badsum, error (\"?AA\" replies)\n"
      "  delay MS                 delay every reply by MS milliseconds\n\n"
      "SIGTERM or SIGINT removes LINK and exits.",
      "i7000-sim"};
  std::string link;
  std::vector<std::string> module_args, input_args, fault_args;
  std::uint64_t seed = 1;
  Simulator sim;
  app.add_option("--link", link, "Path of the symbolic link to the pty's slave device")->required();
  app.add_option("--module", module_args, "Address (hex, 0..FF) of a simulated module; repeatable (default 1)");
  app.add_option("--input", input_args, "ADDR:N=SOURCE value source of input N of module ADDR; repeatable");
  app.add_option("--fault", fault_args, "ADDR=KIND fault of a module (none, silent, garbage, badsum, error)");
  app.add_option("--delay", sim.delay_ms, "Delay every reply by this many milliseconds")->check(CLI::NonNegativeNumber);
  app.add_flag("--checksum", sim.checksum, "Modules expect and append DCON checksums");
  app.add_option("--seed", seed, "Seed of the random walks")->capture_default_str();
  app.add_flag("--verbose", sim.verbose, "Print each request on stderr");
  CLI11_PARSE(app, argc, argv);

  try {
    if (module_args.empty()) module_args.push_back("1");
    for (const auto& a : module_args) sim.add_module(a);
    for (const auto& arg : input_args) sim.set_input(arg, seed);
    for (const auto& arg : fault_args) sim.set_fault(arg);
  } catch (const std::out_of_range&) {
    std::cerr << "i7000-sim: --input/--fault names a module not given with --module\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "i7000-sim: " << e.what() << "\n";
    return 2;
  }
  return run(link, sim);
}
