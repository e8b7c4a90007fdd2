#include "support/test_support.hpp"

#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

namespace orvane::test {

TempDir::TempDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int i = 0; i < 100; ++i) {
    auto candidate = base / ("orvane-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create temp dir");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void write_text(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_text(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace {

// Whether a station could listen on `port` now (on every address, as it does).
bool bindable(int port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int off = 0;
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// The first port of the kernel's ephemeral range.
int ephemeral_low() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 32768;
  in >> low;
  return low;
}

}  // namespace

std::filesystem::path copy_program_into(const TempDir& prefix) {
  std::filesystem::create_directories(prefix / "bin");
  const auto program = prefix / "bin/orvane-emulator";
  std::filesystem::copy_file(built_program("orvane-emulator"), program);
  return program;
}

std::vector<std::string> station_command(const std::filesystem::path& dir, std::vector<std::string> extra) {
  std::vector<std::string> a{built_program("orvane-emulator").string(),
                             "--dir",
                             dir.string(),
                             "--lock-file",
                             (dir / "station.lock").string(),
                             "--flag-file",
                             (dir / "flag").string(),
                             "--reboot-cmd",
                             "true",
                             "--poweroff-cmd",
                             "true"};
  a.insert(a.end(), extra.begin(), extra.end());
  // The same station through the fleet host, as a fleet of one whose log
  // goes to stdout: every test of the station program checks it too.
  if (const char* via = std::getenv("ORVANE_STATION_VIA_FLEET"); via && *via == '1') {
    a[0] = built_program("orvane-fleet").string();
    a.insert(a.begin(), std::string(ORVANE_SOURCE_DIR) + "/tests/support/fleet-of-one");
  }
  return a;
}

int free_tcp_port() {
  // Not a port the kernel hands out itself (bind to port 0): one of those
  // can be taken meanwhile as the local port of any outgoing connection,
  // and the tests make thousands of them. A random free port below that
  // range instead.
  constexpr int kFirst = 10000;
  static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  const int low = ephemeral_low();
  for (int attempt = 0; low > kFirst + 1000 && attempt < 200; ++attempt) {
    const int port = kFirst + static_cast<int>(rng() % static_cast<unsigned>(low - kFirst));
    if (bindable(port)) return port;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool can_connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

std::filesystem::path built_program(const std::string& name) {
  const std::filesystem::path bin = ORVANE_BINARY_DIR;
  for (const auto& candidate : {bin / name, bin / "tools" / name / name}) {
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return bin / name;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                           const std::filesystem::path& cwd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& e : extra_env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(fds[1]);
  out_fd_ = fds[0];
  ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (out_fd_ >= 0) ::close(out_fd_);
}

void ChildProcess::close_output() {
  if (out_fd_ >= 0) ::close(out_fd_);
  out_fd_ = -1;
}

void ChildProcess::drain() {
  if (out_fd_ < 0) return;
  char buf[4096];
  while (true) {
    const ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) break;
    output_.append(buf, static_cast<std::size_t>(n));
  }
}

const std::string& ChildProcess::output() {
  drain();
  return output_;
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_until([&] { return output().find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::running() {
  if (exited_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!wait_until([&] { return !running(); }, timeout)) return -1;
  drain();
  return status_;
}

int ChildProcess::signal_and_wait(int sig, std::chrono::milliseconds timeout) {
  if (running()) ::kill(pid_, sig);
  return wait(timeout);
}

std::string read_data(int port, const std::string& factory, const std::string& sensor) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string m = "\x01H\x02READ_DATA 202612091200 " + factory + " " + sensor + "\x03\x04";
    if (::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(m.size())) {
      timeval tv{3, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[4096];
      while (reply.find('\x04') == std::string::npos) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  ::close(fd);
  return reply;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    auto end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    auto line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
    at = end + 1;
  }
  return out;
}

void write_fleet_template(const std::filesystem::path& dir, int ftp_port, const std::string& channels,
                          const std::string& sensors, int event_sample_ms) {
  std::filesystem::create_directories(dir);
  write_text(dir / "emulate.ini",
             "[Connection]\r\nClientPort=5000\r\nHost=127.0.0.2\r\nServerPort=" + std::to_string(ftp_port) +
                 "\r\nUser=Guest\r\nPassword=Tulip\r\n\r\n[Config]\r\nFactoryID=F\r\nSensorID=S\r\n"
                 "HistorySample=1000\r\nEventSample=" +
                 std::to_string(event_sample_ms) + "\r\n");
  write_text(dir / "module.con", "1,4017,A,1,Y\r\n");
  write_text(dir / "channel.con", channels);
  write_text(dir / "sensor.con", sensors);
  write_text(dir / "auto.con", "1\r\n");
}

}  // namespace orvane::test
