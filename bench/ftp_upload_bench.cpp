// Upload throughput of the event uplink against a pyftpdlib server on
// loopback, next to the curl command storing the same number of files over
// one connection to the same server, in the same run; then the drain of a
// large backlog next to that of a small one.
//   ftp_upload_bench [events=1000] [rounds=3] [backlog=600000] [drain seconds=20] [server files: shm|disk]
//
// Both clients give the server the same work: every store creates a new file
// in the same folder. The station's names are new at every store, so curl
// stores files of new names there too (overwriting its own files of the
// round before cost the server less CPU per file than the station's new
// ones). The server keeps its files on tmpfs (/dev/shm) unless told `disk`:
// on disk, creating files in a new folder cost it nearly twice as much over
// the first few thousand as later, whichever client came first. The
// station's own files (buffer, journals, their flushes) stay on disk.
// Rounds alternate which client goes first; each prints the server's CPU
// time per run.
#include "median.hpp"
#include "net/ftp_uplink.hpp"
#include "platform/clock.hpp"
#include "station/event_delivery.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kServer = fs::path(ORVANE_SOURCE_DIR) / "tests" / "support" / "ftp_server.py";

std::string read_all(const fs::path& p) {
  std::ifstream in(p);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes this process has had written to storage so far.
long long written_bytes() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0;
  while (in >> key >> value)
    if (key == "write_bytes:") return value;
  return 0;
}

// CPU time the process has used so far, in ms (user and system).
double cpu_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  long long ticks = 0;
  // The name (field 2) holds no space here (python3); fields 14 and 15.
  for (int i = 1; i <= 15 && in >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atoll(field.c_str());
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool shm_usable() {
  struct stat st{};
  return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Server {
  pid_t pid = -1;
  int port = 0;
  fs::path out;
  Server(const fs::path& root, const fs::path& out_file) : out(out_file) {
    pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execl("/usr/bin/python3", "python3", kServer.c_str(), "--root", root.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 6000 && port == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const auto text = read_all(out);
      if (auto at = text.find("ready "); at != std::string::npos) port = std::atoi(text.c_str() + at + 6);
    }
    if (port == 0) {
      std::fprintf(stderr, "FTP server did not start\n");
      std::exit(1);
    }
  }
  ~Server() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const bool server_on_disk = (argc > 5 && std::string(argv[5]) == "disk") || !shm_usable();
  const auto tag = "orvane-upload-bench-" + std::to_string(std::random_device{}());
  const auto dir = fs::temp_directory_path() / tag;
  const auto root_dir = server_on_disk ? dir : fs::path("/dev/shm") / tag;
  const auto root = root_dir / "root";
  const auto folder = root / "kyvex" / "debug" / "data";
  fs::create_directories(folder);
  fs::create_directories(dir / "station");
  fs::create_directories(dir / "files");
  Server server(root, dir / "server.out");

  const std::string line =
      "\x01\x02"
      "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\x03\x04";
  // The files curl stores, under names of their own for each run: c<round>p
  // for plain curl, c<round>n for curl -Q NOOP, written before any timing.
  auto run_tag = [](int round, bool noop) { return "c" + std::to_string(round) + (noop ? "n" : "p"); };
  for (int r = 0; r < rounds; ++r)
    for (const bool noop : {false, true}) {
      const auto local = dir / "files" / run_tag(r, noop);
      fs::create_directories(local);
      for (int i = 0; i < events; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%s%05d", run_tag(r, noop).c_str(), i);
        std::ofstream(local / name, std::ios::binary) << line;
      }
    }
  ::sync();

  orvane::SystemClock clock;
  orvane::FtpUplink ftp;
  std::atomic<bool> online{false};
  orvane::EventBuffer buffer;
  buffer.load(dir / "station" / "Event.Sav");
  std::string last_log;
  orvane::EventDelivery delivery(
      buffer, [&](std::string l) { last_log = std::move(l); }, clock, &ftp, nullptr, nullptr, online);
  orvane::DeliverySettings settings;
  settings.target = {"127.0.0.1", server.port, "Guest", "Tulip"};
  settings.eventpath = "/kyvex/debug/data";

  // curl's easy interface stalls a second now and then before a data
  // connection (libcurl 7.88); a NOOP before each store avoids it, so that
  // run is the fair reference for the FTP work itself. Like the station, it
  // logs in and changes to the folder within the timed run.
  auto curl_cmd = [&](int round, bool noop) {
    const auto name = run_tag(round, noop);
    char glob[64];
    std::snprintf(glob, sizeof glob, "%s[00000-%05d]", name.c_str(), events - 1);
    return "cd " + (dir / "files" / name).string() + " && curl -s -S -u Guest:Tulip -T '" + glob +
           "' ftp://127.0.0.1:" + std::to_string(server.port) + "/%2Fkyvex/debug/data/" + (noop ? " -Q NOOP" : "");
  };

  struct Run {
    double seconds = 0;
    double server_ms = 0;  // the server's CPU time over the run
  };
  auto station_run = [&]() -> Run {
    const double cpu0 = cpu_ms(server.pid);
    const auto t0 = Clock::now();
    // One upload holds the station thread for a few seconds at most and
    // leaves the rest to the next tick; a loaded machine may need several.
    // The station's way: each tick hands the upload to the worker.
    for (int attempt = 0; attempt < 20 && !buffer.empty(); ++attempt) {
      delivery.check_and_send(settings);
      delivery.join_worker();
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!buffer.empty() || last_log != "Events : Send Completed") {
      std::fprintf(stderr, "upload failed: %s\n", last_log.c_str());
      std::exit(1);
    }
    return {s, cpu_ms(server.pid) - cpu0};
  };
  auto curl_run = [&](int round, bool noop) -> Run {
    const auto cmd = curl_cmd(round, noop);
    const double cpu0 = cpu_ms(server.pid);
    const auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "curl failed\n");
      std::exit(1);
    }
    return {std::chrono::duration<double>(Clock::now() - t0).count(), cpu_ms(server.pid) - cpu0};
  };

  double best_station = 1e9, best_curl = 1e9, best_noop = 1e9;
  std::vector<double> noop_ratios;
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < events; ++i) buffer.add(line);
    Run station, curl, noop;
    if (r % 2 == 0) {
      station = station_run();
      curl = curl_run(r, false);
      noop = curl_run(r, true);
    } else {
      noop = curl_run(r, true);
      curl = curl_run(r, false);
      station = station_run();
    }
    std::printf(
        "round %d: station %.0f events/s, curl %.0f files/s, curl -Q NOOP %.0f files/s (server CPU ms: %.0f, %.0f, "
        "%.0f; %s first)\n",
        r + 1, events / station.seconds, events / curl.seconds, events / noop.seconds, station.server_ms,
        curl.server_ms, noop.server_ms, r % 2 == 0 ? "station" : "curl");
    best_station = std::min(best_station, station.seconds);
    best_curl = std::min(best_curl, curl.seconds);
    best_noop = std::min(best_noop, noop.seconds);
    noop_ratios.push_back(noop.seconds / station.seconds);
  }
  std::printf("server files on %s; median of the rounds' ratios to curl -Q NOOP: %.2f\n",
              server_on_disk ? "disk" : "tmpfs", median_of(noop_ratios));
  // Names unique and increasing: every store of every round is a file of
  // its own, and in name order the files are in store order.
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(folder)) files += e.path().filename().string().rfind("Emulate", 0) == 0;
  const bool unique = files == static_cast<std::size_t>(rounds) * static_cast<std::size_t>(events);
  std::printf("names: %zu files for %d stores, unique and increasing: %s\n", files, rounds * events,
              unique ? "yes" : "NO");

  // Drain: the rate of a backlog of `backlog` lines (for `drain_s` seconds
  // of uploads, removal and the cutting of the delivered prefix included)
  // against that of 1 000 lines, with the bytes the station wrote per event.
  // The big backlog drains in four stretches, each next to a drain of 1 000
  // lines in a station folder of its own (which goes first alternating): a
  // machine that slows down or speeds up does so for both, and each pair
  // gives a ratio. The ratio printed is the median of the pairs'.
  const int backlog = argc > 3 ? std::atoi(argv[3]) : 600000;
  const double drain_s = argc > 4 ? std::atof(argv[4]) : 20;
  fs::create_directories(dir / "small");
  orvane::EventBuffer small_buffer;
  orvane::EventDelivery small_delivery(
      small_buffer, [&](std::string l) { last_log = std::move(l); }, clock, &ftp, nullptr, nullptr, online);
  auto fill = [&](orvane::EventBuffer& b, const fs::path& folder, int lines) {
    {
      std::ofstream out(folder / "Event.Sav", std::ios::binary);
      for (int i = 0; i < lines; ++i) out << line << "\r\n";
    }
    fs::remove(folder / "Event.Head");
    b.load(folder / "Event.Sav");
  };
  struct Stretch {
    std::size_t stored = 0;
    double seconds = 0;
    long long written = 0;  // bytes the station wrote meanwhile
  };
  auto drain = [&](orvane::EventBuffer& b, orvane::EventDelivery& d, double seconds) {
    d.set_upload_budget(std::chrono::milliseconds(1000), std::chrono::milliseconds(1000));
    const auto written0 = written_bytes();
    const auto t0 = Clock::now();
    const std::size_t before = b.size();
    while (!b.empty() && std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
      d.check_and_send(settings);
      d.join_worker();
    }
    return Stretch{before - b.size(), std::chrono::duration<double>(Clock::now() - t0).count(),
                   written_bytes() - written0};
  };
  fill(buffer, dir / "station", backlog);
  constexpr int kStretches = 4;
  Stretch big;
  std::vector<double> small_rates, drain_ratios;
  for (int k = 0; k < kStretches; ++k) {
    fill(small_buffer, dir / "small", 1000);
    Stretch small, part;
    if (k % 2 == 0) {
      small = drain(small_buffer, small_delivery, 60);
      part = drain(buffer, delivery, drain_s / kStretches);
    } else {
      part = drain(buffer, delivery, drain_s / kStretches);
      small = drain(small_buffer, small_delivery, 60);
    }
    const double small_rate = static_cast<double>(small.stored) / small.seconds;
    small_rates.push_back(small_rate);
    drain_ratios.push_back(static_cast<double>(part.stored) / part.seconds / small_rate);
    big.stored += part.stored;
    big.seconds += part.seconds;
    big.written += part.written;
  }
  std::sort(drain_ratios.begin(), drain_ratios.end());
  std::printf(
      "drain: backlog 1000: %.0f events/s; backlog %d: %.0f events/s over %zu stored, %.0f bytes written "
      "per event (ratio %.2f)\n",
      median_of(small_rates), backlog, static_cast<double>(big.stored) / big.seconds, big.stored,
      static_cast<double>(big.written) / static_cast<double>(big.stored), median_of(drain_ratios));
  std::printf("drain pairs' ratios:");
  for (double r : drain_ratios) std::printf(" %.2f", r);
  std::printf("\n");

  const auto out = read_all(server.out);
  std::printf("connections: %d for %d station uploads and %d curl runs\n", count(out, "connect\n"), rounds, 2 * rounds);
  std::printf(
      "best of %d, %d events each: station %.0f events/s; curl %.0f files/s (ratio %.2f); "
      "curl -Q NOOP %.0f files/s (ratio %.2f)\n",
      rounds, events, events / best_station, events / best_curl, best_curl / best_station, events / best_noop,
      best_noop / best_station);
  fs::remove_all(dir);
  fs::remove_all(root_dir);
  return unique ? 0 : 1;
}
