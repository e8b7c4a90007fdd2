// i7000-sim: answers DCON "read all analog inputs" requests for one or more
// simulated I-7017 modules on a pseudo-terminal, so the station can be run
// and tested without an RS-485 line.
#include "device/dcon.hpp"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Where one input's value comes from.
struct Source {
  enum Kind { constant, sine, ramp, walk } kind = sine;
  double a = 10, b = 8,
         c = 20;  // const: a; sine: mid, amplitude, period s; ramp: from, to, period s; walk: start, step
  std::mt19937_64 rng{};
  double walk_value = 0;

  double value(double t) {
    switch (kind) {
      case constant:
        return a;
      case sine:
        return a + b * std::sin(2 * std::numbers::pi * t / (c > 0 ? c : 1));
      case ramp: {
        const double period = c > 0 ? c : 1;
        return a + (b - a) * std::fmod(t, period) / period;
      }
      case walk: {
        std::uniform_real_distribution<double> step(-b, b);
        walk_value += step(rng);
        return walk_value;
      }
    }
    return 0;
  }
};

enum class Fault { none, silent, garbage, badsum, error };

struct Module {
  std::array<Source, orvane::kAnalogInputs> inputs{};
  Fault fault = Fault::none;
};

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int parse_address(const std::string& text) {
  std::size_t used = 0;
  const int v = std::stoi(text, &used, 16);
  if (used != text.size() || v < 0 || v > 255) throw std::invalid_argument("bad module address '" + text + "'");
  return v;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
  return parts;
}

Source parse_source(const std::string& arg, std::uint64_t seed) {
  const auto p = split(arg, ':');
  if (p.empty()) throw std::invalid_argument("empty source");
  auto num = [&](std::size_t i, double fallback) { return i < p.size() ? std::stod(p[i]) : fallback; };
  Source s;
  if (p[0] == "const") {
    s.kind = Source::constant;
    s.a = num(1, 0);
  } else if (p[0] == "sine") {
    s.kind = Source::sine;
    s.a = num(1, 10), s.b = num(2, 8), s.c = num(3, 20);
  } else if (p[0] == "ramp") {
    s.kind = Source::ramp;
    s.a = num(1, 0), s.b = num(2, 20), s.c = num(3, 60);
  } else if (p[0] == "walk") {
    s.kind = Source::walk;
    s.a = num(1, 10), s.b = num(2, 0.1);
    s.walk_value = s.a;
    s.rng.seed(seed);
  } else {
    throw std::invalid_argument("unknown source '" + p[0] + "'");
  }
  return s;
}

Fault parse_fault(const std::string& text) {
  if (text == "none") return Fault::none;
  if (text == "silent") return Fault::silent;
  if (text == "garbage") return Fault::garbage;
  if (text == "badsum") return Fault::badsum;
  if (text == "error") return Fault::error;
  throw std::invalid_argument("unknown fault '" + text + "'");
}

// One reading as an I-7017 in engineering units writes it: "+05.123".
std::string reading(double v) {
  if (!std::isfinite(v)) v = 0;
  return fmt::format("{}{:06.3f}", v < 0 ? '-' : '+', std::fabs(v));
}

class Simulator {
 public:
  std::map<int, Module> modules;
  bool checksum = false;
  int delay_ms = 0;
  bool verbose = false;

  // The reply to one request line (without CR), or nothing (silence).
  std::optional<std::string> answer(const std::string& line, double t) {
    if (line.empty()) return std::nullopt;
    std::string body = line;
    if (checksum) {
      if (body.size() < 3) return std::nullopt;
      const auto sum = body.substr(body.size() - 2);
      body.resize(body.size() - 2);
      if (sum != orvane::dcon_checksum(body)) return std::nullopt;  // modules ignore a bad request
    }
    if (body.size() < 3) return std::nullopt;
    int address = 0;
    try {
      address = parse_address(body.substr(1, 2));
    } catch (...) {
      return std::nullopt;
    }
    const auto it = modules.find(address);
    if (it == modules.end()) return std::nullopt;  // nobody at that address on the bus
    Module& m = it->second;
    std::string reply;
    if (m.fault == Fault::silent) return std::nullopt;
    if (m.fault == Fault::error || body[0] != '#' || body.size() != 3) {
      reply = fmt::format("?{:02X}", address);
    } else if (m.fault == Fault::garbage) {
      reply = ">+1x.2#garbage!";
    } else {
      reply = ">";
      for (auto& in : m.inputs) reply += reading(in.value(t));
    }
    if (checksum) {
      auto sum = orvane::dcon_checksum(reply);
      if (m.fault == Fault::badsum) sum = orvane::dcon_checksum(reply + "x");
      reply += sum;
    } else if (m.fault == Fault::badsum) {
      reply += "00";  // without checksums a module that appends one still breaks the reply
    }
    return reply + "\r";
  }

  // "A I V" sets an input to a constant; "fault A KIND"; "delay MS".
  void command(const std::string& line) {
    std::istringstream in(line);
    std::string first;
    if (!(in >> first)) return;
    try {
      if (first == "fault") {
        std::string a, kind;
        in >> a >> kind;
        modules.at(parse_address(a)).fault = parse_fault(kind);
      } else if (first == "delay") {
        in >> delay_ms;
      } else {
        int input = -1;
        double v = 0;
        if (!(in >> input >> v) || input < 0 || input >= orvane::kAnalogInputs)
          throw std::invalid_argument("expected: module input value");
        auto& s = modules.at(parse_address(first)).inputs[static_cast<std::size_t>(input)];
        s.kind = Source::constant;
        s.a = v;
      }
      std::cout << "ok " << line << std::endl;
    } catch (const std::exception& e) {
      std::cout << "error " << line << ": " << e.what() << std::endl;
    }
  }
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
          sim.command(input_line);
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
      "  walk:START:STEP          random walk, seeded by --seed, module and input\n\n"
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
    for (const auto& a : module_args) {
      const int address = parse_address(a);
      Module m;
      for (int i = 0; i < orvane::kAnalogInputs; ++i) {
        auto& s = m.inputs[static_cast<std::size_t>(i)];
        s.kind = Source::sine;
        s.a = 10, s.b = 8, s.c = 20 + 5 * i;  // each input its own pace
      }
      sim.modules[address] = m;
    }
    for (const auto& arg : input_args) {
      const auto colon = arg.find(':'), eq = arg.find('=');
      if (colon == std::string::npos || eq == std::string::npos || eq < colon)
        throw std::invalid_argument("expected ADDR:N=SOURCE, got '" + arg + "'");
      const int address = parse_address(arg.substr(0, colon));
      const std::string which = arg.substr(colon + 1, eq - colon - 1);
      auto& m = sim.modules.at(address);
      for (int i = 0; i < orvane::kAnalogInputs; ++i) {
        if (which != "*" && which != std::to_string(i)) continue;
        const auto s = seed * 1000003u + static_cast<std::uint64_t>(address) * 8u + static_cast<std::uint64_t>(i);
        m.inputs[static_cast<std::size_t>(i)] = parse_source(arg.substr(eq + 1), s);
      }
    }
    for (const auto& arg : fault_args) {
      const auto eq = arg.find('=');
      if (eq == std::string::npos) throw std::invalid_argument("expected ADDR=KIND, got '" + arg + "'");
      sim.modules.at(parse_address(arg.substr(0, eq))).fault = parse_fault(arg.substr(eq + 1));
    }
  } catch (const std::out_of_range&) {
    std::cerr << "i7000-sim: --input/--fault names a module not given with --module\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "i7000-sim: " << e.what() << "\n";
    return 2;
  }
  return run(link, sim);
}
