// The pieces of a whole station under load for the reliability tests: a
// station directory of 32 simulated channels whose levels change often, the
// real station program, an FTP host that goes down and comes back, host
// connections polling READ_DATA or holding realtime subscriptions, and the
// exactly-once comparison of what the station buffered with what the host
// received.
#pragma once
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace orvane::rig {

using namespace std::chrono_literals;

// A duration from the environment (whole seconds), or the default.
inline std::chrono::seconds seconds_from_env(const char* name, int fallback) {
  const char* v = std::getenv(name);
  const int n = v && *v ? std::atoi(v) : 0;
  return std::chrono::seconds(n > 0 ? n : fallback);
}

constexpr int kModules = 4;
constexpr int kChannels = 32;

// Station files for 32 analog channels C01..C32 on modules 1..4 (8 inputs
// each), scaled 0..1000 from the raw 0..20, with four thresholds so a
// swinging input changes level several times per period. Events go to
// localhost:ftp_port every `event_ms`.
inline void write_station_dir(const std::filesystem::path& dir, int client_port, int ftp_port, int event_ms) {
  std::filesystem::create_directories(dir / "log");
  std::filesystem::create_directories(dir / "history");
  test::write_text(dir / "emulate.ini",
                   "[Connection]\r\nClientPort=" + std::to_string(client_port) +
                       "\r\nServerPort=" + std::to_string(ftp_port) +
                       "\r\nHost=localhost\r\n[Config]\r\nEventSample=" + std::to_string(event_ms) +
                       "\r\nHistorySample=1000\r\n[READ]\r\nPort=3\r\n"
                       "[ConvertData]\r\nMinVal=0\r\nMaxVal=20\r\n");
  std::string modules, channels, sensors;
  for (int m = 1; m <= kModules; ++m) modules += std::to_string(m) + ",4017,A," + std::to_string(m) + ",Y\r\n";
  for (int c = 1; c <= kChannels; ++c) {
    const int m = (c - 1) / 8 + 1, input = (c - 1) % 8;
    char id[8];
    std::snprintf(id, sizeof id, "C%02d", c);
    channels += std::string(id) + ",A,I," + std::to_string(m) + "," + std::to_string(m) + "," + std::to_string(input) +
                ",Y\r\n";
    sensors += std::to_string(c) + "," + id + ",A,I,Y,0,1000,200,400,600,800\r\n";
  }
  test::write_text(dir / "module.con", modules);
  test::write_text(dir / "channel.con", channels);
  test::write_text(dir / "sensor.con", sensors);
  test::write_text(dir / "auto.con", "1\r\n");
  test::write_text(dir / "flag", "1\r\n");
}

// Simulator arguments: modules 1-2 swing as sines (periods 3 to 12 s, so
// the channels do not move in step), module 3 ramps, module 4 walks.
inline std::vector<std::string> sim_args(unsigned seed) {
  std::vector<std::string> a{"--seed", std::to_string(seed)};
  for (int m = 1; m <= kModules; ++m) {
    a.insert(a.end(), {"--module", std::to_string(m)});
    for (int i = 0; i < 8; ++i) {
      std::string source;
      if (m <= 2) source = "sine:10:9.5:" + std::to_string(3 + (m * 8 + i) % 10);
      if (m == 3) source = "ramp:0:20:" + std::to_string(4 + i);
      if (m == 4) source = "walk:10:1.5";
      a.insert(a.end(), {"--input", std::to_string(m) + ":" + std::to_string(i) + "=" + source});
    }
  }
  return a;
}

// The station's environment: under AddressSanitizer a small quarantine, so
// resident memory shows what the station holds rather than freed blocks
// the sanitizer keeps (256 MB of them by default).
// Holds every input still, so no new events come and the buffer can empty.
inline bool freeze(test::SimProcess& sim) {
  for (int m = 1; m <= kModules; ++m)
    for (int i = 0; i < 8; ++i)
      if (!sim.command(std::to_string(m) + " " + std::to_string(i) + " 10")) return false;
  return true;
}

inline std::vector<std::string> station_env() {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
          "quarantine_size_mb=4:thread_local_quarantine_size_kb=64"};
}

inline std::vector<std::string> station_args(const std::filesystem::path& dir) {
  return {test::built_program("orvane-emulator").string(),
          "--headless",
          "--dir",
          dir.string(),
          "--lock-file",
          (dir / "run.lock").string(),
          "--flag-file",
          (dir / "flag").string(),
          "--com",
          "3=" + (dir / "i7000").string()};
}

// A TCP connection to 127.0.0.1:port, or -1.
inline int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether something accepts connections on the port (the station is up
// and its loop runs).
inline bool accepting(int port) {
  const int fd = connect_loopback(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Resident memory of a process in kB (0 when it is gone).
inline long rss_kb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// The host's FTP server on one port and one root across restarts. Going down
// is orderly (SIGUSR1, see ftp_server.py): a transfer under way finishes, so
// every file on the server was reported stored. Names are gathered in the
// order the server received them.
class FtpHost {
 public:
  FtpHost() { std::filesystem::create_directories(folder()); }
  ~FtpHost() { stop(); }

  int port() const { return port_; }
  std::filesystem::path folder() const { return root_.path() / "kyvex" / "debug" / "data"; }
  bool up() const { return process_ != nullptr; }

  void start() {
    if (process_) return;
    process_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        "/usr/bin/python3", std::string(ORVANE_SOURCE_DIR) + "/tests/support/ftp_server.py", "--root",
        root_.path().string(), "--port", std::to_string(port_), "--delete-incomplete"});
    if (!process_->wait_for_output("ready"))
      throw std::runtime_error("FTP server did not start: " + process_->output());
    ++starts_;
  }
  void stop() {
    if (!process_) return;
    ::kill(process_->pid(), SIGUSR1);
    process_->wait_for_output("stopped", 10s);
    process_->signal_and_wait(SIGTERM);
    collect(process_->output());
    process_.reset();
  }
  // Names stored so far, in order (the running server's included).
  std::vector<std::string> stored() {
    auto out = stored_;
    if (process_) {
      auto more = parse(process_->output());
      out.insert(out.end(), more.begin(), more.end());
    }
    return out;
  }
  int starts() const { return starts_; }
  std::string output() { return outputs_ + (process_ ? process_->output() : std::string()); }
  int incomplete() {
    int n = 0;
    for (const auto& out : {outputs_, process_ ? process_->output() : std::string()})
      for (auto at = out.find("incomplete "); at != std::string::npos; at = out.find("incomplete ", at + 1)) ++n;
    return n;
  }

 private:
  static std::vector<std::string> parse(const std::string& output) {
    std::vector<std::string> names;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("stored ", 0) == 0) names.push_back(line.substr(7));
    return names;
  }
  void collect(const std::string& output) {
    outputs_ += output;
    auto names = parse(output);
    stored_.insert(stored_.end(), names.begin(), names.end());
  }

  test::TempDir root_;
  int port_ = test::free_tcp_port();
  std::unique_ptr<test::ChildProcess> process_;
  std::vector<std::string> stored_;
  std::string outputs_;
  int starts_ = 0;
};

// A host connection on its own thread: polls READ_DATA in a loop, or holds
// a realtime subscription and reads its batches. Counts whole replies.
class HostClient {
 public:
  enum class Kind { read_data, realtime };
  HostClient(int port, Kind kind) : port_(port), kind_(kind), thread_([this] { run(); }) {}
  ~HostClient() {
    stop_ = true;
    thread_.join();
  }
  long replies() const { return replies_; }
  long reconnects() const { return reconnects_; }

 private:
  int connect_once() { return connect_loopback(port_); }
  bool send_all(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  void run() {
    const std::string read_data = "\x01h\x02READ_DATA 1 F1 S1\x04";
    const std::string subscribe =
        "\x01h\x02"
        "BEGIN_REALTIME 1 F1 S1 1 3600\x04";
    while (!stop_) {
      const int fd = connect_once();
      if (fd < 0) {
        std::this_thread::sleep_for(50ms);  // the station is restarting
        continue;
      }
      ++reconnects_;
      bool ok = send_all(fd, kind_ == Kind::read_data ? read_data : subscribe);
      std::string pending;
      while (ok && !stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[8192];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        const std::string mark = kind_ == Kind::read_data ? "\x04" : "\x02RT ";
        for (auto at = pending.find(mark); at != std::string::npos; at = pending.find(mark)) {
          pending.erase(0, at + mark.size());
          ++replies_;
          if (kind_ == Kind::read_data) ok = send_all(fd, read_data);
        }
        if (kind_ == Kind::realtime && pending.find('\x04') != std::string::npos) break;  // subscription ended
      }
      ::close(fd);
    }
  }

  int port_;
  Kind kind_;
  std::atomic<bool> stop_{false};
  std::atomic<long> replies_{0};
  std::atomic<long> reconnects_{0};
  std::thread thread_;
};

// An event as compared between the log and the host: the line without its
// timestamp (the log line's stamp is taken a moment after the buffered one's).
inline std::string event_key(std::string text) {
  std::string clean;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 32) clean += c;
  std::istringstream in(clean);
  std::vector<std::string> items;
  for (std::string item; in >> item;) items.push_back(item);
  std::string key;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i == 1) continue;
    key += items[i] + ' ';
  }
  return key;
}

// The events the station counted as buffered and logged: the lines of every
// "log/U*.log" day file, in order.
inline std::vector<std::string> logged_events(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir / "log"))
    if (e.path().filename().string().rfind("U", 0) == 0) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (const auto& f : files) {
    std::istringstream in(test::read_text(f));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) out.push_back(event_key(line));
  }
  return out;
}

// The events on the host, one per file, in the order the files first came.
// A name stored again (a retry, or a restart after stores the station had
// not yet removed from its buffer) replaced its file: it is one event.
inline std::vector<std::string> delivered_events(FtpHost& host, std::size_t* restored = nullptr) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& name : host.stored()) {
    if (!seen.insert(name).second) {
      if (restored) ++*restored;
      continue;
    }
    out.push_back(event_key(test::read_text(host.folder() / name)));
  }
  return out;
}

// Whether `delivered` is `logged` exactly, except that at each position in
// `gaps` (a count of logged lines when the station was killed) the events of
// one check (up to one per channel) may sit that were buffered but whose log
// lines the kill prevented.
constexpr std::size_t kEventsPerCheck = 32;
inline bool same_with_gaps(const std::vector<std::string>& delivered, const std::vector<std::string>& logged,
                           const std::multiset<std::size_t>& gaps, std::string* why) {
  std::set<std::tuple<std::size_t, std::size_t, std::size_t>> failed;
  std::function<bool(std::size_t, std::size_t, std::size_t)> match = [&](std::size_t i, std::size_t j,
                                                                         std::size_t extras_here) -> bool {
    for (;;) {
      const auto key = std::make_tuple(i, j, extras_here);
      if (failed.count(key)) return false;
      if (extras_here < gaps.count(j) * kEventsPerCheck && i < delivered.size() && match(i + 1, j, extras_here + 1))
        return true;
      if (i == delivered.size() || j == logged.size()) {
        const bool ok = i == delivered.size() && j == logged.size();
        if (!ok) failed.insert(key);
        return ok;
      }
      if (delivered[i] != logged[j]) {
        failed.insert(key);
        return false;
      }
      ++i, ++j, extras_here = 0;
    }
  };
  if (match(0, 0, 0)) return true;
  // Where they part, for the failure message.
  std::size_t k = 0;
  while (k < delivered.size() && k < logged.size() && delivered[k] == logged[k]) ++k;
  std::ostringstream o;
  o << "delivered " << delivered.size() << ", logged " << logged.size() << ", first difference at " << k;
  if (k < delivered.size()) o << ": delivered '" << delivered[k] << "'";
  if (k < logged.size()) o << ", logged '" << logged[k] << "'";
  *why = o.str();
  return false;
}

}  // namespace orvane::rig
