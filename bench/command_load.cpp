// Load tool for the command server: C hosts each repeat a request and wait
// for its EOT-terminated reply, against the real station (Station and
// CommandServer in this process, on their own thread, 32 channels) and
// against a reference server that answers every EOT-terminated request with
// a canned reply of the same size, the ceiling for this machine. Both run in
// the same process run, one after the other, so the ratio is fair.
//
//   command_load [--connections 1,8,64] [--seconds 2] [--channels 32] [--rounds 3]
//
// On a shared machine other processes take CPU at random moments, so each
// figure is the best of `rounds` runs, station and reference alternating.
#include "free_port.hpp"
#include "net/command_server.hpp"
#include "platform/clock.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

// ---- reference server: one EOT in, one canned reply out ----
class RefSession : public std::enable_shared_from_this<RefSession> {
 public:
  RefSession(tcp::socket s, const std::string& reply) : socket_(std::move(s)), reply_(reply) {}
  void start() { read(); }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buf_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
      if (ec) return;
      const auto eots = std::count(self->buf_.begin(), self->buf_.begin() + static_cast<std::ptrdiff_t>(n), '\x04');
      if (eots == 0) return self->read();
      self->out_.clear();
      for (long i = 0; i < eots; ++i) self->out_ += self->reply_;
      asio::async_write(self->socket_, asio::buffer(self->out_), [self](std::error_code e, std::size_t) {
        if (!e) self->read();
      });
    });
  }
  tcp::socket socket_;
  const std::string& reply_;
  std::array<char, 65536> buf_{};
  std::string out_;
};

class ReferenceServer {
 public:
  ReferenceServer(asio::io_context& ioc, std::string reply)
      : acceptor_(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), reply_(std::move(reply)) {
    accept();
  }
  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  void accept() {
    acceptor_.async_accept([this](std::error_code ec, tcp::socket s) {
      if (ec) return;
      s.set_option(tcp::no_delay(true));
      std::make_shared<RefSession>(std::move(s), reply_)->start();
      accept();
    });
  }
  tcp::acceptor acceptor_;
  std::string reply_;
};

// ---- the load: C connections, request / reply in a loop ----
struct Result {
  double rps = 0;
  double p50_us = 0, p99_us = 0;
  std::string first_reply;
};

class Host : public std::enable_shared_from_this<Host> {
 public:
  Host(asio::io_context& ioc, const std::string& request, Clock::time_point measure_from, Clock::time_point until)
      : socket_(ioc), request_(request), from_(measure_from), until_(until) {}
  void start(int port) {
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    socket_.set_option(tcp::no_delay(true));
    send();
  }
  std::vector<std::uint32_t> latencies_ns;
  std::string first_reply;

 private:
  void send() {
    sent_at_ = Clock::now();
    if (sent_at_ >= until_) return;
    got_.clear();
    asio::async_write(socket_, asio::buffer(request_), [self = shared_from_this()](std::error_code ec, std::size_t) {
      if (!ec) self->read();
    });
  }
  void read() {
    socket_.async_read_some(asio::buffer(buf_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
      if (ec) return;
      self->got_.append(self->buf_.data(), n);
      if (self->got_.back() != '\x04') return self->read();
      const auto now = Clock::now();
      if (self->first_reply.empty()) self->first_reply = self->got_;
      if (self->sent_at_ >= self->from_)
        self->latencies_ns.push_back(static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - self->sent_at_).count()));
      self->send();
    });
  }
  tcp::socket socket_;
  const std::string& request_;
  Clock::time_point from_, until_, sent_at_;
  std::array<char, 65536> buf_{};
  std::string got_;
};

Result run_load(int port, const std::string& request, int connections, double seconds) {
  asio::io_context ioc;
  const auto from = Clock::now() + std::chrono::milliseconds(300);  // warm-up
  const auto until = from + std::chrono::microseconds(static_cast<long>(seconds * 1e6));
  std::vector<std::shared_ptr<Host>> hosts;
  for (int i = 0; i < connections; ++i) {
    hosts.push_back(std::make_shared<Host>(ioc, request, from, until));
    hosts.back()->start(port);
  }
  ioc.run();
  std::vector<std::uint32_t> all;
  for (auto& h : hosts) all.insert(all.end(), h->latencies_ns.begin(), h->latencies_ns.end());
  Result r;
  r.first_reply = hosts.front()->first_reply;
  if (all.empty()) return r;
  std::sort(all.begin(), all.end());
  r.rps = static_cast<double>(all.size()) / seconds;
  r.p50_us = all[all.size() / 2] / 1000.0;
  r.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1000.0;
  return r;
}

class NoFlag final : public orvane::ConfiguredFlag {
 public:
  bool is_set() const override { return true; }
  void set() override {}
};
class NoPower final : public orvane::PowerControl {
 public:
  bool request(orvane::PowerAction) override { return false; }
};

void write_file(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::vector<int> parse_list(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) out.push_back(std::atoi(part.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> conn_counts{1, 8, 64};
  double seconds = 2;
  int channels = 32;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--connections") conn_counts = parse_list(argv[i + 1]);
    else if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (a == "--channels") channels = std::atoi(argv[i + 1]);
    else if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
  }

  // A station directory with `channels` configured channels.
  char tmpl[] = "/tmp/orvane-load-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(tmpl);
  std::string channel_con, sensor_con;
  for (int n = 1; n <= channels; ++n) {
    const auto id = "T" + std::to_string(100 + n);
    channel_con += id + ",A,I,1,1," + std::to_string((n - 1) % 8) + ",Y\r\n";
    sensor_con += "," + id + ",A,I,Y,0,1000,,,,,,,,\r\n";
  }
  write_file(dir / "channel.con", channel_con);
  write_file(dir / "sensor.con", sensor_con);
  write_file(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(free_port()) + "\r\n");

  asio::io_context station_ioc;
  auto station_work = asio::make_work_guard(station_ioc);
  orvane::OperatorLog log(station_ioc);
  orvane::SystemClock clock;
  NoFlag flag;
  NoPower power;
  orvane::Station station(station_ioc, log, orvane::StationDeps{clock, flag, power, nullptr}, dir);
  orvane::CommandServer server(station_ioc, station);
  station.set_command_listener(&server);
  for (auto& ch : station.channels) ch.value = "1234";
  std::promise<int> port_promise;
  std::thread station_thread([&] {
    log.bind_to_current_thread();
    station.start();
    for (auto& ch : station.channels) ch.value = "1234";
    port_promise.set_value(server.port());
    station_ioc.run();
  });
  const int station_port = port_promise.get_future().get();

  const std::string request = "\x01" "load\x02READ_DATA 200612071200 F1 S1\x03\x04";
  const auto probe = run_load(station_port, request, 1, 0.05);
  const auto reply_size = probe.first_reply.size();
  if (reply_size == 0 || std::count(probe.first_reply.begin(), probe.first_reply.end(), '\x02') != channels) {
    std::fprintf(stderr, "command_load: the station's READ_DATA reply is not what was expected\n");
    return 1;
  }

  asio::io_context ref_ioc;
  ReferenceServer reference(ref_ioc, "\x01" + std::string(reply_size - 2, 'x') + "\x04");
  std::thread ref_thread([&] { ref_ioc.run(); });

  std::printf("READ_DATA, %d channels, reply %zu bytes, best of %d runs of %.1f s\n", channels, reply_size, rounds,
              seconds);
  std::printf("%-6s %-10s %14s %10s %10s %8s\n", "conns", "server", "round trips/s", "p50 us", "p99 us", "ratio");
  for (int c : conn_counts) {
    Result ref, st;
    for (int r = 0; r < rounds; ++r) {
      const auto a = run_load(reference.port(), request, c, seconds);
      const auto b = run_load(station_port, request, c, seconds);
      if (a.rps > ref.rps) ref = a;
      if (b.rps > st.rps) st = b;
    }
    std::printf("%-6d %-10s %14.0f %10.1f %10.1f\n", c, "reference", ref.rps, ref.p50_us, ref.p99_us);
    std::printf("%-6d %-10s %14.0f %10.1f %10.1f %8.2f\n", c, "station", st.rps, st.p50_us, st.p99_us,
                ref.rps > 0 ? st.rps / ref.rps : 0.0);
    std::fflush(stdout);
  }

  ref_ioc.stop();
  ref_thread.join();
  asio::post(station_ioc, [&] {
    server.close();
    station.stop_data();
    station.set_clock_active(false);
    station_work.reset();
    station_ioc.stop();
  });
  station_thread.join();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
