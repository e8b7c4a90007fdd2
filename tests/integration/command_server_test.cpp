// The command server over real TCP sockets: a real Station and its
// CommandServer on an io_context thread, hosts as blocking client sockets.
#include "net/command_server.hpp"
#include "core/limits.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_test.hpp"

#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <fstream>
#include <future>
#include <map>
#include <thread>

using namespace orvane;
using namespace orvane::test;

namespace {

class TcpStation {
 public:
  // `settings`: more lines of emulate.ini's [Connection] section. With
  // `manual_steady_time` the station's timers fire only when a test moves
  // `steady` on; otherwise they run in real time. `host_budget`: shared
  // with the process's other stations.
  explicit TcpStation(const std::string& settings = "", bool manual_steady_time = false,
                      HostBudget* host_budget = nullptr)
      : steady_time(manual_steady_time ? &steady : nullptr), budget(host_budget) {
    std::filesystem::create_directory(dir / "history");
    std::filesystem::create_directory(dir / "log");
    write_text(dir / "emulate.ini",
               "[Connection]\r\nClientPort=" + std::to_string(free_tcp_port()) + "\r\n" + settings);
    write_text(dir / "channel.con", "T01,A,I,1,1,0,Y\r\nT02,A,I,1,1,1,N\r\n");
    flag.value = true;
    log.add_observer([this](const std::string& line) { ++line_counts[line]; });
    st.start();
    log.bind_to_current_thread();
    thread = std::thread([this] {
      log.bind_to_current_thread();
      ioc.run();
    });
  }
  // Runs f on the station thread and waits for it.
  template <class F>
  auto run(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto done = task.get_future();
    asio::post(ioc, [&task] { task(); });
    return done.get();
  }
  ~TcpStation() {
    run([this] {
      server.close();
      while (!st.realtime().subscribers().empty())
        st.realtime().end_of(*st.realtime().subscribers().front().connection);
      st.stop_data();
      st.set_clock_active(false);
    });
    work.reset();
    ioc.stop();
    thread.join();
  }

  bool logged(const std::string& line) {
    return run([&] {
      const auto& m = log.memo();
      return std::find(m.begin(), m.end(), line) != m.end();
    });
  }
  int port() {
    return run([this] { return server.port(); });
  }
  // Times a line was logged since the start (the memo keeps only the last 200).
  std::size_t count_logged(const std::string& line) {
    return run([&] {
      const auto it = line_counts.find(line);
      return it == line_counts.end() ? std::size_t{0} : it->second;
    });
  }

  TempDir dir;
  ManualClock clock{make_local_time(2006, 12, 7, 12, 30)};
  MemoryFlag flag;
  RecordingPower power;
  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ioc);
  OperatorLog log{ioc};
  ManualSteadyTime steady;
  SteadyTime* steady_time;
  HostBudget* budget;
  Station st{ioc, log, StationDeps{.clock = clock, .configured_flag = flag, .power = power, .steady_time = steady_time},
             dir.path()};
  CommandServer server{ioc, st, budget, steady_time};
  bool listening = [this] {
    st.set_command_listener(&server);
    return true;
  }();
  std::map<std::string, std::size_t> line_counts;
  std::thread thread;
};

// A host: a blocking socket whose every read has a deadline, so a station
// that never answers fails the test instead of stalling it.
class Host {
 public:
  static constexpr std::chrono::seconds kReadDeadline{5};

  // `source`: the local address to connect from (127.0.0.x stand for
  // different machines).
  // `receive_buffer`: a small one makes a host that doesn't read hold the
  // station's replies in its queue rather than in the kernel's buffers.
  explicit Host(int port, const char* address = "127.0.0.1", const char* source = nullptr, int receive_buffer = 0)
      : socket(ioc) {
    const asio::ip::tcp::endpoint to{asio::ip::make_address(address), static_cast<unsigned short>(port)};
    if (source || receive_buffer > 0) socket.open(to.protocol());
    if (source) socket.bind({asio::ip::make_address(source), 0});
    if (receive_buffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
    socket.connect(to);
  }
  void send(std::string_view bytes) { asio::write(socket, asio::buffer(bytes)); }
  // Reads until `eots` EOT bytes have come, the connection ends or the
  // deadline passes.
  std::string read_replies(int eots = 1) {
    const auto deadline = std::chrono::steady_clock::now() + kReadDeadline;
    std::string got;
    char buf[4096];
    for (int seen = 0; seen < eots;) {
      std::error_code ec;
      const auto n = read_some(buf, sizeof buf, deadline, ec);
      if (ec) break;
      got.append(buf, n);
      seen += static_cast<int>(std::count(buf, buf + n, '\x04'));
    }
    return got;
  }
  // True when the station closed its side (EOF or reset) before the deadline.
  bool closed_by_station() {
    const auto deadline = std::chrono::steady_clock::now() + kReadDeadline;
    char buf[4096];
    for (;;) {
      std::error_code ec;
      read_some(buf, sizeof buf, deadline, ec);
      if (ec == asio::error::eof || ec == asio::error::connection_reset) return true;
      if (ec) return false;
    }
  }
  asio::io_context ioc;
  asio::ip::tcp::socket socket;

 private:
  // A blocking asio read waits without end (it polls again on EAGAIN, so a
  // socket receive timeout doesn't help): wait for the bytes here first.
  std::size_t read_some(char* buf, std::size_t size, std::chrono::steady_clock::time_point deadline,
                        std::error_code& ec) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{socket.native_handle(), POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      ec = asio::error::timed_out;
      return 0;
    }
    return socket.read_some(asio::buffer(buf, size), ec);
  }
};

// The station's end of a host's connection: the socket of this process
// whose own port is the station's and whose peer's port is the host's.
int station_side_of(int station_port, const Host& host) {
  const auto port_of = [](const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  };
  const int host_port = host.socket.local_endpoint().port();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_storage own{}, peer{};
    socklen_t own_len = sizeof own, peer_len = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &own_len) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0)
      continue;
    if (port_of(own) == station_port && port_of(peer) == host_port) return fd;
  }
  return -1;
}

// Descriptors of this process that are readiness sets (epoll).
std::size_t readiness_sets() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == "anon_inode:[eventpoll]") ++n;
  }
  return n;
}

const std::string kReadData = frame("h", {"READ_DATA 1 F1 S1"});
const std::string kReadDataReply =
    "\x01h\x02 EVENTA 200612071230 F1 F1S1 T01 IS 0 \x03\x02 EVENTA 200612071230 F1 F1S1 T02 IS 0 \x03\x04";

}  // namespace

TEST(CommandServer, AnswersOverIpv4AndIpv6EvenOneByteAtATime) {
  TcpStation s;
  Host host(s.port());
  for (char c : kReadData) host.send(std::string_view(&c, 1));
  EXPECT_EQ(visible(host.read_replies()), visible(kReadDataReply));
  Host v6(s.port(), "::1");
  v6.send(kReadData);
  EXPECT_EQ(visible(v6.read_replies()), visible(kReadDataReply));
}

// Stations of one machine may share a port, each on an address of its own.
TEST(CommandServer, ListensOnTheAddressItIsGivenOnly) {
  TcpStation a, b, c;
  const int port = free_tcp_port();
  const auto listen = [port](TcpStation& s, const std::string& address) {
    s.run([&] { s.server.listen({.port = port, .address = address}); });
  };
  const auto sessions = [](TcpStation& s) { return s.run([&] { return s.server.session_count(); }); };
  listen(a, "127.0.0.2");
  listen(b, "127.0.0.3");
  listen(c, "::1");
  std::vector<std::unique_ptr<Host>> hosts;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "::1"}) {
    hosts.push_back(std::make_unique<Host>(port, address));
    hosts.back()->send(kReadData);
    EXPECT_EQ(visible(hosts.back()->read_replies()), visible(kReadDataReply)) << address;
  }
  EXPECT_EQ(sessions(a), 1u);
  EXPECT_EQ(sessions(b), 1u);
  EXPECT_EQ(sessions(c), 1u);
  EXPECT_THROW(Host(port, "127.0.0.1"), std::system_error);  // nobody listens on the other addresses

  for (const char* bad : {"localhost", "127.0.0.256", "[::1]"}) {
    EXPECT_THROW(listen(a, bad), std::invalid_argument);
    const auto failure = a.run([&] { return a.server.listen_failure(); });
    EXPECT_EQ(failure, std::string(bad) + " port " + std::to_string(port) + ": Invalid listen address \"" + bad +
                           "\": not an IPv4 or IPv6 address");
  }
}

TEST(CommandServer, EveryCommandWordOverTheWire) {
  TcpStation s;
  Host host(s.port());
  host.send(frame("h", {"SET_CONFIG 1 F1 S1 555 10.1.1.1 1000 1000", "SET_ID 2 F1 S1 T01 AI Y 0 100",
                        "SET_ID 3 F1 S1 T02 AI N", "DELETE_ID 4 F1 S1 T02"}));
  EXPECT_EQ(visible(host.read_replies()), visible("\x01h\x02"
                                                  "ACK 200612071230 F1 S1\x03 \x04"));
  host.send(frame("h", {"READ_CONFIG 5 * *", "SET_VALUE 6 F1 S1 T01 17", "READ_HISTORY 7 F1 S1 -1",
                        "DO_COMMAND 8 F1 S1 STR", "END_REALTIME 9 F1 S1", "BEGIN_REALTIME 9 F1 S1 1 0"}));
  EXPECT_EQ(visible(host.read_replies(5)),
            visible("\x01h\x02READ_CONFIG 5 F1 S1 555 1000 1000 \x03\x02READ_ID 5 F1 F1S1 T01 AI Y 0 100  \x03\x04"
                    "\x01h\x02"
                    "EVENT 200612071230 F1 S1 T01  IS 17\x03\x04"
                    "\x01h\x02 READ_SN 7 F1 S1 SN IS \x03\x04"
                    "\x01h\x02 Complete STR \x03\x04"
                    "\x01h\x02RT 200612071230 F1 F1S1 T01 IS 0 \x03\x02"
                    "ACK 200612071230 F1 S1 \x03\x04"));
  EXPECT_TRUE(s.flag.value);
  EXPECT_EQ(s.run([&] { return s.st.channel_table().panel(1).value; }), "17");
}

TEST(CommandServer, InterleavedHostsEachGetTheirOwnReply) {
  TcpStation s;
  Host a(s.port()), b(s.port());
  const auto msg_a = frame("from-a", {"READ_DATA 1 F1 S1"});
  const auto msg_b = frame("from-b", {"READ_HISTORY 1 F1 S1 -1"});
  a.send(msg_a.substr(0, 8));
  b.send(msg_b.substr(0, 5));
  b.send(msg_b.substr(5));
  a.send(msg_a.substr(8));
  EXPECT_EQ(visible(b.read_replies()), visible("\x01"
                                               "from-b\x02 READ_SN 1 F1 S1 SN IS \x03\x04"));
  EXPECT_EQ(visible(a.read_replies()), visible("\x01"
                                               "from-a" +
                                               kReadDataReply.substr(2)));
}

// A message of a megabyte is worked on in slices: another host is answered
// meanwhile, while the long message's own host gets its replies in order,
// its ACK at the end, and the message it sent after it answered only then.
TEST(CommandServer, ALongMessageLetsOtherHostsInAndItsOwnHostsNextMessageWaitsForIt) {
  TcpStation s;
  Host a(s.port()), b(s.port());
  std::vector<std::string> lines{"READ_CONFIG 1 * x"};
  for (int i = 0; i < 15000; ++i) {
    lines.push_back("SET_ID 1 F1 S1 P" + std::to_string(10000 + i) + " AI Y 0 100");
    lines.push_back("DO_COMMAND 1 F1 S1 STA");
  }
  const auto long_message = frame("long", lines);
  ASSERT_GT(long_message.size(), std::size_t{800} << 10);
  a.send(long_message + frame("after", {"READ_DATA 1 F1 S1"}));
  // Its first slice's replies come before the rest is done.
  auto from_a = a.read_replies(1);
  ASSERT_NE(from_a.find("READ_CONFIG 1"), std::string::npos);

  b.send(frame("h", {"READ_DATA 1 F1 S1"}));
  const auto from_b = b.read_replies();
  EXPECT_EQ(from_b.substr(0, 4), "\x01h\x02 ");
  EXPECT_EQ(s.count_logged("Emulator : Answer Ack"), 0u)
      << "the long message was done before another host was answered";

  // The READ_CONFIG, a reply per DO_COMMAND, the ACK, and the next message's reply.
  from_a += a.read_replies(15003 - static_cast<int>(std::count(from_a.begin(), from_a.end(), '\x04')));
  const auto ack = from_a.find("ACK ");
  ASSERT_NE(ack, std::string::npos);
  EXPECT_EQ(std::count(from_a.begin(), from_a.begin() + static_cast<std::ptrdiff_t>(ack), '\x04'), 15001);
  EXPECT_NE(from_a.find("\x01"
                        "after\x02",
                        ack),
            std::string::npos);
  EXPECT_EQ(s.count_logged("Emulator : Answer Ack"), 1u);
}

// No request is missed while hosts come and go, down to none and back:
// each host is answered, whoever else is there.
TEST(CommandServer, HostsComingAndGoingAreEachAnswered) {
  TcpStation s;
  const auto sessions = [&] { return s.run([&] { return s.server.session_count(); }); };
  const auto wait_for_sessions = [&](std::size_t n) {
    for (int i = 0; i < 500 && sessions() != n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return sessions();
  };
  Host a(s.port());
  for (int i = 0; i < 3; ++i) {
    a.send(kReadData);
    EXPECT_EQ(visible(a.read_replies()), visible(kReadDataReply));
  }
  {
    Host b(s.port());
    b.send(kReadData);  // while a stays
    EXPECT_EQ(visible(b.read_replies()), visible(kReadDataReply));
    a.send(kReadData);
    EXPECT_EQ(visible(a.read_replies()), visible(kReadDataReply));
    b.send(kReadData);
    a.send(kReadData);
    EXPECT_EQ(visible(a.read_replies()), visible(kReadDataReply));
    EXPECT_EQ(visible(b.read_replies()), visible(kReadDataReply));
  }
  ASSERT_EQ(wait_for_sessions(1), 1u);
  a.send(kReadData);  // a alone again
  EXPECT_EQ(visible(a.read_replies()), visible(kReadDataReply));
  a.send(kReadData + kReadData);
  EXPECT_EQ(visible(a.read_replies(2)), visible(kReadDataReply + kReadDataReply));
  a.send(kReadData);
  a.socket.shutdown(asio::ip::tcp::socket::shutdown_send);
  EXPECT_EQ(visible(a.read_replies()), visible(kReadDataReply));
  EXPECT_TRUE(a.closed_by_station());
  EXPECT_EQ(wait_for_sessions(0), 0u);
  Host c(s.port());
  c.send(kReadData);
  EXPECT_EQ(visible(c.read_replies()), visible(kReadDataReply));
  // Closed by the station while the only host: a problem command.
  c.send(frame("h", {"READ_DATA 1 F2 S2"}));
  EXPECT_TRUE(c.closed_by_station());
  EXPECT_EQ(wait_for_sessions(0), 0u);
  Host d(s.port());
  d.send(kReadData);
  EXPECT_EQ(visible(d.read_replies()), visible(kReadDataReply));
}

// A process holds thousands of stations, most of them without a host: such
// a station holds its listening socket and no readiness set of its own;
// the set comes with the first host and goes after the last.
TEST(CommandServer, AStationWithoutHostsHoldsNoReadinessSet) {
  const auto before = readiness_sets();
  TcpStation s;
  const auto sessions = [&] { return s.run([&] { return s.server.session_count(); }); };
  // The station thread's io_context has one set of its own, for all its stations.
  EXPECT_EQ(readiness_sets(), before + 1);
  for (int round = 0; round < 2; ++round) {
    {
      Host host(s.port());  // its io_context has one too
      host.send(kReadData);
      EXPECT_EQ(visible(host.read_replies()), visible(kReadDataReply));
      EXPECT_EQ(readiness_sets(), before + 3);
    }
    EXPECT_TRUE(wait_until([&] { return sessions() == 0 && readiness_sets() == before + 1; })) << readiness_sets();
  }
}

TEST(CommandServer, ProblemCommandClosesThatConnectionOnly) {
  TcpStation s;
  Host bad(s.port()), good(s.port());
  bad.send(frame("h", {"READ_DATA 1 F2 S2"}));
  EXPECT_TRUE(bad.closed_by_station());
  good.send(kReadData);
  EXPECT_EQ(visible(good.read_replies()), visible(kReadDataReply));
  EXPECT_TRUE(s.logged("problem command"));
}

TEST(CommandServer, OversizedMessageIsDroppedAndTheNextOneServed) {
  TcpStation s;
  Host host(s.port());
  host.send("\x01h\x02" + std::string(limits::kMaxMessageBytes + 10, 'x'));
  host.send("still the same big message\x04");
  host.send(kReadData);
  EXPECT_EQ(visible(host.read_replies()), visible(kReadDataReply));
  EXPECT_TRUE(s.logged("Error : message too long"));
}

TEST(CommandServer, RealtimeTicksAndAHostThatClosedIsNeverWritten) {
  TcpStation s("", true);
  auto subscribers = [&] { return s.run([&] { return s.st.realtime().subscribers().size(); }); };
  // Periods of 100 s; the realtime timer ticks when the test moves the steady time on by one.
  {
    Host host(s.port());
    host.send(frame("h", {"BEGIN_REALTIME 1 F1 S1 100 300"}));
    ASSERT_TRUE(wait_until([&] { return subscribers() == 1; }));
    s.run([&] { s.steady.advance(std::chrono::seconds(100)); });
    s.run([&] { s.steady.advance(std::chrono::seconds(100)); });
    const auto batch = std::string("\x02RT 200612071230 F1 F1S1 T01 IS 0 \x03");
    EXPECT_EQ(visible(host.read_replies()), visible("\x01h" + batch + batch + batch +
                                                    "\x02"
                                                    "ACK 200612071230 F1 S1 \x03\x04"));
    EXPECT_EQ(subscribers(), 0u);
    host.send(frame("h", {"BEGIN_REALTIME 1 F1 S1 100 10000"}));
    ASSERT_TRUE(wait_until([&] { return subscribers() == 1; }));
  }
  // The host has closed: once the station has read the EOF, the next batch
  // counts as a failed send and realtime is cancelled.
  ASSERT_TRUE(
      wait_until([&] { return s.run([&] { return !s.st.realtime().subscribers().front().connection->is_open(); }); }));
  s.run([&] { s.steady.advance(std::chrono::seconds(100)); });
  EXPECT_TRUE(s.logged("Error : Cannot Connect socket or socket close!"));
  EXPECT_TRUE(s.logged("Emulator : Program Cancel send realtime"));
  EXPECT_EQ(subscribers(), 0u);
  EXPECT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count() == 0; }); }));
}

// Realtime batches to a host that has stopped reading: what its socket
// doesn't take waits for writability, and all of it reaches the host once
// it reads again.
TEST(CommandServer, AHostThatStopsReadingSkipsRealtimeBatchesAndGetsWholeOnesAndItsEndWhenItReadsAgain) {
  TcpStation s("IdleSeconds=0\r\n", true);  // it stops reading for longer than any idle limit
  Host host(s.port());
  host.send(kReadData);
  EXPECT_EQ(visible(host.read_replies()), visible(kReadDataReply));
  // Small buffers on both sides: the kernel soon takes no more.
  const int station_side = station_side_of(s.port(), host);
  ASSERT_GE(station_side, 0);
  ::setsockopt(station_side, SOL_SOCKET, SO_SNDBUF, std::array<int, 1>{4096}.data(), sizeof(int));
  ::setsockopt(host.socket.native_handle(), SOL_SOCKET, SO_RCVBUF, std::array<int, 1>{4096}.data(), sizeof(int));
  constexpr int kTicks = 8000;
  host.send(frame("h", {"BEGIN_REALTIME 1 F1 S1 1 " + std::to_string(kTicks)}));
  ASSERT_TRUE(wait_until([&] { return s.run([&] { return s.st.realtime().subscribers().size() == 1; }); }));
  const auto batch = std::string("\x02RT 200612071230 F1 F1S1 T01 IS 0 \x03");
  const auto end = std::string(
      "\x02"
      "ACK 200612071230 F1 S1 \x03\x04");
  std::size_t most_queued = 0;
  for (int done = 0; done < kTicks; done += 100) {
    // A turn of the loop between runs flushes what the ticks queued.
    s.run([&] {
      for (int i = 0; i < 100; ++i) s.steady.advance(std::chrono::seconds(1));
    });
    most_queued = std::max(most_queued, s.run([&] { return s.server.queued_bytes(); }));
  }
  // Nothing piled up for it: at most the one batch it has yet to take, and
  // then its end.
  EXPECT_LE(most_queued, batch.size() + end.size());
  const auto got = host.read_replies();
  ASSERT_TRUE(got.starts_with("\x01h")) << visible(got.substr(0, 200));
  ASSERT_TRUE(got.ends_with(end)) << visible(got.substr(got.size() > 200 ? got.size() - 200 : 0));
  // Whole batches only, fewer than the ticks, then the end on time.
  const auto batches = got.substr(2, got.size() - 2 - end.size());
  ASSERT_EQ(batches.size() % batch.size(), 0u);
  for (std::size_t at = 0; at < batches.size(); at += batch.size())
    ASSERT_EQ(batches.compare(at, batch.size(), batch), 0) << at;
  EXPECT_LT(batches.size() / batch.size(), static_cast<std::size_t>(kTicks));
  EXPECT_TRUE(s.run([&] { return s.st.realtime().subscribers().empty(); }));
}

TEST(CommandServer, AHostThatStopsReadingIsCutOffAtTheQueueBound) {
  TcpStation s;
  // A 1 MB file read back again and again by a host that never reads.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + std::string(40, 'x') + "\r\n";
  write_text(s.dir / "big.con", big);
  Host staller(s.port());
  ::setsockopt(staller.socket.native_handle(), SOL_SOCKET, SO_RCVBUF, std::array<int, 1>{4096}.data(), sizeof(int));
  const auto rcfg = frame("h", {"DO_COMMAND 1 F1 S1 \"RCFG\x05"
                                "big.con\""});
  int sent = 0;
  for (; sent < 40; ++sent) {
    std::error_code ec;
    asio::write(staller.socket, asio::buffer(rcfg), ec);
    if (ec) break;
  }
  // RCFG reads a file only when it fits what the host can still take, so
  // small replies bring it to the bound.
  std::string small;
  for (int i = 0; i < 30000; ++i) small += kReadData;
  std::error_code ignored;
  asio::write(staller.socket, asio::buffer(small), ignored);
  EXPECT_TRUE(wait_until([&] { return s.logged("Error : Cannot Connect socket or socket close!"); })) << sent;
  // The station thread was never held up: another host is served.
  Host other(s.port());
  other.send(kReadData);
  EXPECT_EQ(visible(other.read_replies()), visible(kReadDataReply));
}

// Hosts that never read, each within its own bound, together hold no more
// replies than the station's bound: past it the one holding most is given
// up, not the newcomer, and the station goes on serving.
TEST(CommandServer, RepliesQueuedForAllHostsStayUnderTheirBound) {
  TcpStation s("MaxHosts=20\r\n");
  std::vector<std::string> sensors;
  for (int n = 1; n <= 32; ++n) sensors.push_back("SET_ID 1 F1 S1 T" + std::to_string(n) + " AI Y 0 100 10 20 30 40");
  const auto read_config = frame("h", {"READ_CONFIG 1 F1 S1"});
  std::size_t reply_bytes = 0;
  {
    Host setup(s.port());
    setup.send(frame("h", sensors));
    setup.read_replies();
    setup.send(read_config);
    reply_bytes = setup.read_replies().size();
  }
  // Each host asks for 3.8 MiB of replies and reads none: under its own
  // 4 MiB, while nine of them pass the 32 MiB of all hosts together.
  const auto lines = (std::size_t{38} << 20) / 10 / reply_bytes;
  std::string message;
  for (std::size_t i = 0; i < lines; ++i) message += read_config;
  const auto queued = [&] { return s.run([&] { return s.server.queued_bytes(); }); };
  std::vector<std::unique_ptr<Host>> hosts;
  std::size_t most = 0;
  for (int i = 0; i < 9; ++i) {
    hosts.push_back(std::make_unique<Host>(s.port()));
    auto& h = *hosts.back();
    ::setsockopt(h.socket.native_handle(), SOL_SOCKET, SO_RCVBUF, std::array<int, 1>{4096}.data(), sizeof(int));
    int station_side = -1;
    ASSERT_TRUE(wait_until([&] { return (station_side = station_side_of(s.port(), h)) >= 0; }));
    ::setsockopt(station_side, SOL_SOCKET, SO_SNDBUF, std::array<int, 1>{4096}.data(), sizeof(int));
    const auto before = s.count_logged("Emulator : receive Command");
    h.send(message);
    ASSERT_TRUE(wait_until([&] {
      most = std::max(most, queued());
      return s.count_logged("Emulator : receive Command") > before;
    })) << i;
  }
  EXPECT_LE(most, limits::kMaxQueuedReplyBytes);
  EXPECT_EQ(s.run([&] { return s.server.session_count(); }), 8u);
  EXPECT_TRUE(s.run([&] {
    return std::any_of(s.line_counts.begin(), s.line_counts.end(), [](const auto& line) {
      return line.first.starts_with("Error : replies queued for all hosts over 32 MiB: host 127.0.0.1 holding ");
    });
  }));
  // The newcomer was not the one given up: its connection is open with all
  // it asked for waiting, and so are seven of the others.
  EXPECT_GE(station_side_of(s.port(), *hosts.back()), 0);
  EXPECT_GE(queued(), 8 * (lines * reply_bytes - (64 << 10)));
  Host other(s.port());
  other.send(kReadData);
  EXPECT_EQ(visible(other.read_replies()), visible(kReadDataReply));
}

TEST(CommandServer, PipelinedRequestsBeyondOneReadAreAnsweredInOrderAndAHalfClosedHostIsLetGo) {
  TcpStation s;
  Host host(s.port());
  // More requests in one go than one read of the station takes, each with
  // its own header, and the host's sending side shut right after.
  constexpr int kRequests = 3000;
  std::string requests;
  for (int i = 0; i < kRequests; ++i) requests += frame("h" + std::to_string(i), {"READ_DATA 1 F1 S1"});
  ASSERT_GT(requests.size(), std::size_t{64} << 10);
  host.send(requests);
  host.socket.shutdown(asio::ip::tcp::socket::shutdown_send);
  const auto replies = host.read_replies(kRequests);
  ASSERT_EQ(std::count(replies.begin(), replies.end(), '\x04'), kRequests);
  std::size_t at = 0;
  for (int i = 0; i < kRequests; ++i) {
    const auto header = "\x01h" + std::to_string(i) + "\x02";
    ASSERT_EQ(replies.compare(at, header.size(), header), 0) << "reply " << i;
    at = replies.find('\x04', at) + 1;
  }
  // Every reply out, the station ends the connection.
  EXPECT_TRUE(host.closed_by_station());
  EXPECT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count() == 0; }); }));
}

TEST(CommandServer, AHostThatShutsItsSideAndTakesNoRepliesIsLetGoSoon) {
  TcpStation s("", true);  // IdleSeconds 90; the station's time moves only when told
  std::string big;
  for (int i = 0; i < 3800; ++i) big += std::string(1000, 'x') + "\r\n";  // a reply of almost 4 MiB
  write_text(s.dir / "big.con", big);
  Host host(s.port(), "127.0.0.1", nullptr, 4096);
  host.send(frame("h", {"DO_COMMAND 1 F1 S1 \"RCFG\x05"
                        "big.con\""}));
  host.socket.shutdown(asio::ip::tcp::socket::shutdown_send);
  // A tenth of a second at a time, never near IdleSeconds.
  auto moved = std::chrono::milliseconds(0);
  EXPECT_TRUE(wait_until([&] {
    if (moved < std::chrono::seconds(10)) {
      s.run([&] { s.steady.advance(std::chrono::milliseconds(100)); });
      moved += std::chrono::milliseconds(100);
    }
    return s.run([&] { return s.server.session_count() == 0; });
  }));
  EXPECT_GE(moved, std::chrono::milliseconds(limits::kHostGoneDrainMs));
}

TEST(CommandServer, ThousandsOfConnectionsOpenedAndDroppedLeaveNoSession) {
  TcpStation s;
  for (int i = 0; i < 2000; ++i) {
    Host h(s.port());
    if (i % 2) h.send("\x01half a message");
  }
  EXPECT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count() == 0; }); }));
  Host host(s.port());
  host.send(kReadData);
  EXPECT_EQ(visible(host.read_replies()), visible(kReadDataReply));
}

TEST(CommandServer, HostToolTalksToTheStation) {
  TcpStation s;
  const auto tool = built_program("orvane-host");
  ChildProcess read_data({tool.string(), "-p", std::to_string(s.port()), "--header", "hdr", "READ_DATA 1 F1 S1"});
  EXPECT_EQ(read_data.wait(), 0);
  EXPECT_EQ(read_data.output(),
            "<SOH>hdr<STX> EVENTA 200612071230 F1 F1S1 T01 IS 0 <ETX>\n<STX> EVENTA 200612071230 F1 F1S1 T02 IS 0 "
            "<ETX>\n<EOT>\n");
  ChildProcess scfg({tool.string(), "-p", std::to_string(s.port()), "-s",
                     "DO_COMMAND 1 F1 S1 \"SCFG<ENQ>t.con<ENQ>a b\"", "BEGIN_REALTIME 2 F1 S1 1 2"});
  // The second batch comes from the realtime timer itself, one real second later.
  EXPECT_EQ(scfg.wait(), 0);
  EXPECT_EQ(scfg.output(),
            " Complete a b \n\nRT 200612071230 F1 F1S1 T01 IS 0 \nRT 200612071230 F1 F1S1 T01 IS 0 \n"
            "ACK 200612071230 F1 S1 \n\n");
  EXPECT_EQ(read_text(s.dir / "t.con"), "a b\r\n");
}

TEST(CommandServer, TheHeadlessBinaryTakesItsFirstConfiguration) {
  TempDir dir;
  std::filesystem::create_directory(dir / "history");
  const int port = free_tcp_port();
  write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) + "\r\n");
  ChildProcess station({built_program("orvane-emulator").string(), "--headless", "--dir", dir.path().string(),
                        "--lock-file", (dir / "lock").string(), "--flag-file", (dir / "flag").string()});
  ASSERT_TRUE(station.wait_for_output("Wait for Set Config..."));
  Host host(port);
  host.send(frame("", {"SET_CONFIG 1 F7 S7 1 127.0.0.1 1000 1000"}));
  const auto reply = host.read_replies();
  EXPECT_EQ(reply.substr(0, 6),
            "\x01\x02"
            "ACK ");
  EXPECT_NE(reply.find(" F7 S7\x03 \x04"), std::string::npos);
  EXPECT_TRUE(station.wait_for_output("Emulator : Answer Ack"));
  EXPECT_TRUE(std::filesystem::exists(dir / "flag"));
  host.send(frame("h", {"READ_DATA 1 F7 S7"}));
  EXPECT_EQ(visible(host.read_replies()), visible("\x01h\x04"));
  EXPECT_EQ(station.signal_and_wait(SIGTERM), 0);
}

TEST(CommandServer, AFloodUnderASmallDescriptorLimitNeverRunsTheStationOutOfFiles) {
  TempDir dir;
  const int port = free_tcp_port();
  write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(port) + "\r\n");
  const auto cmd = "ulimit -n 100; exec " + built_program("orvane-emulator").string() + " --headless --dir " +
                   dir.path().string() + " --lock-file " + (dir / "lock").string() + " --flag-file " +
                   (dir / "flag").string();
  ChildProcess station({"/bin/sh", "-c", cmd});
  ASSERT_TRUE(station.wait_for_output("Wait for Set Config..."));
  // 100 descriptors leave room for fewer hosts than MaxHosts asks for.
  EXPECT_NE(station.output().find("Error : descriptor limit 100 leaves room for "), std::string::npos)
      << station.output();
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < 120; ++i) hosts.push_back(std::make_unique<Host>(port));
  ASSERT_TRUE(station.wait_for_output(" hosts connected, no more accepted (host 127.0.0.1)"));
  // The station's own files still open: SCFG writes one from a served host
  // once the flood has gone.
  hosts.clear();
  ASSERT_TRUE(wait_until([&] {
    Host late(port);
    std::error_code ec;
    asio::write(late.socket,
                asio::buffer(frame("h", {"DO_COMMAND 1 F1 S1 \"SCFG\x05"
                                         "t.con\x05"
                                         "ok\""})),
                ec);
    return !ec && visible(late.read_replies()) == visible("\x01h\x02 Complete ok \x03\x04");
  }));
  EXPECT_EQ(read_text(dir / "t.con"), "ok\r\n");
  EXPECT_EQ(station.output().find("Too many open files"), std::string::npos) << station.output();
  EXPECT_EQ(station.signal_and_wait(SIGTERM), 0) << station.output();
}

TEST(CommandServer, OnlyListedHostsAreServedAndStrangersAreNeverRead) {
  TcpStation s("AllowHosts=127.0.0.2, ::1\r\n");
  Host listed(s.port(), "127.0.0.1", "127.0.0.2");
  listed.send(kReadData);
  EXPECT_EQ(visible(listed.read_replies()), visible(kReadDataReply));
  Host v6(s.port(), "::1");
  v6.send(kReadData);
  EXPECT_EQ(visible(v6.read_replies()), visible(kReadDataReply));
  // A SET_CONFIG is taken from any address, but a stranger's is never read.
  const auto set_config = frame("h", {"SET_CONFIG 1 F9 S9 1 10.0.0.9 1000 1000"});
  for (int i = 0; i < 5; ++i) {
    Host stranger(s.port(), "127.0.0.1", "127.0.0.3");
    std::error_code ec;
    asio::write(stranger.socket, asio::buffer(set_config), ec);
    EXPECT_TRUE(stranger.closed_by_station());
  }
  Host local(s.port());  // 127.0.0.1 is not listed either
  EXPECT_TRUE(local.closed_by_station());
  EXPECT_EQ(s.run([&] { return s.st.settings().factory_id; }), "F1");
  EXPECT_FALSE(s.logged("Emulator : Answer Ack"));
  // One line per address per minute, however often it comes back.
  EXPECT_EQ(s.count_logged("Emulator : refused host 127.0.0.3"), 1u);
  EXPECT_EQ(s.count_logged("Emulator : refused host 127.0.0.1"), 1u);
  EXPECT_EQ(s.run([&] { return s.server.session_count(); }), 2u);

  // The listed host's SET_CONFIG leaves the list as it is.
  listed.send(frame("h", {"SET_CONFIG 1 F1 S1 1 10.0.0.9 1000 1000"}));
  EXPECT_EQ(listed.read_replies().substr(0, 6),
            "\x01h\x02"
            "ACK");
  EXPECT_NE(read_text(s.dir / "emulate.ini").find("AllowHosts=127.0.0.2, ::1"), std::string::npos);
  Host again(s.port(), "127.0.0.1", "127.0.0.3");
  EXPECT_TRUE(again.closed_by_station());
}

TEST(CommandServer, HostsBeyondMaxHostsAreClosedAtOnce) {
  TcpStation s("MaxHosts=3\r\n");
  EXPECT_EQ(s.run([&] { return s.server.host_cap(); }), 3u);
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < 3; ++i) {
    hosts.push_back(std::make_unique<Host>(s.port()));
    hosts.back()->send(kReadData);
    EXPECT_EQ(visible(hosts.back()->read_replies()), visible(kReadDataReply));
  }
  for (int i = 0; i < 4; ++i) {
    Host extra(s.port());
    EXPECT_TRUE(extra.closed_by_station());
  }
  EXPECT_EQ(s.count_logged("Error : 3 hosts connected, no more accepted (host 127.0.0.1)"), 1u);
  EXPECT_EQ(s.run([&] { return s.server.session_count(); }), 3u);
  // A place comes free: the next host is served.
  hosts.pop_back();
  ASSERT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count(); }) == 2u; }));
  Host next(s.port());
  next.send(kReadData);
  EXPECT_EQ(visible(next.read_replies()), visible(kReadDataReply));
}

// Stations of one process sharing a budget of host connections: each keeps
// its own MaxHosts, not lowered for the descriptors the others hold, and all
// together hold no more hosts than the budget; a host that goes gives its
// place back, to whichever station is asked next.
TEST(CommandServer, StationsSharingAHostBudgetHoldNoMoreHostsThanItTogether) {
  HostBudget budget(3);
  TcpStation a("MaxHosts=2\r\n", false, &budget), b("MaxHosts=1000000\r\n", false, &budget);
  EXPECT_EQ(b.run([&] { return b.server.host_cap(); }), 1'000'000u);
  std::vector<std::unique_ptr<Host>> hosts;
  const auto served = [&](TcpStation& s) {
    hosts.push_back(std::make_unique<Host>(s.port()));
    hosts.back()->send(kReadData);
    return visible(hosts.back()->read_replies()) == visible(kReadDataReply);
  };
  EXPECT_TRUE(served(a));
  EXPECT_TRUE(served(a));
  EXPECT_TRUE(Host(a.port()).closed_by_station());  // a's own MaxHosts
  EXPECT_TRUE(served(b));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Host(b.port()).closed_by_station());  // the budget
  EXPECT_EQ(b.count_logged("Error : all 3 host connections of the process in use, no more accepted (host 127.0.0.1)"),
            1u);
  EXPECT_EQ(a.count_logged("Error : 2 hosts connected, no more accepted (host 127.0.0.1)"), 1u);
  EXPECT_EQ(budget.in_use(), 3u);

  hosts.erase(hosts.begin());  // one of a's
  ASSERT_TRUE(wait_until([&] { return budget.in_use() == 2; }));
  EXPECT_TRUE(served(b));
  EXPECT_TRUE(Host(a.port()).closed_by_station());
  // Every place comes back, however its host ended: gone, or cut off by a
  // problem command.
  hosts.back()->send(frame("h", {"READ_DATA 1 F2 S2"}));
  EXPECT_TRUE(hosts.back()->closed_by_station());
  ASSERT_TRUE(wait_until([&] { return budget.in_use() == 2; }));
  hosts.clear();
  EXPECT_TRUE(wait_until([&] { return budget.in_use() == 0; }));
  EXPECT_TRUE(served(a));
  EXPECT_EQ(budget.in_use(), 1u);
}

// A connection that neither completes a message nor takes its replies for
// IdleSeconds gives its slot back; a realtime subscriber waiting for its
// next batch keeps its own.
TEST(CommandServer, IdleConnectionsAreClosedAndTheirSlotsServeOthers) {
  TcpStation s("MaxHosts=3\r\nIdleSeconds=30\r\n", true);
  Host trickle(s.port()), quiet(s.port()), subscriber(s.port());
  trickle.send("\x01h\x02READ");  // never finished
  quiet.send(kReadData);
  EXPECT_EQ(visible(quiet.read_replies()), visible(kReadDataReply));
  subscriber.send(frame("h", {"BEGIN_REALTIME 1 F1 S1 100 1000"}));
  ASSERT_TRUE(wait_until([&] { return s.run([&] { return s.st.realtime().subscribers().size() == 1; }); }));
  // Full: a fourth host is refused.
  {
    Host refused(s.port());
    EXPECT_TRUE(refused.closed_by_station());
  }
  s.run([&] { s.steady.advance(std::chrono::seconds(20)); });
  trickle.send("_DA");  // bytes, but still no message
  s.run([&] { s.steady.advance(std::chrono::seconds(20)); });
  EXPECT_TRUE(trickle.closed_by_station());
  EXPECT_TRUE(quiet.closed_by_station());
  EXPECT_EQ(s.count_logged("Error : host 127.0.0.1 idle for 30 s: connection closed"), 1u);
  EXPECT_EQ(s.run([&] { return s.server.session_count(); }), 1u);
  Host next(s.port());
  next.send(kReadData);
  EXPECT_EQ(visible(next.read_replies()), visible(kReadDataReply));
}

TEST(CommandServer, UnfinishedMessagesOfAllHostsStayUnderTheirBound) {
  TcpStation s;
  const std::string unfinished = "\x01h\x02" + std::string(limits::kMaxMessageBytes - 100, 'x');
  std::vector<std::unique_ptr<Host>> hosts;
  std::size_t most = 0;
  // A host midway through a small message: those holding most go first.
  Host small(s.port());
  small.send(kReadData.substr(0, kReadData.size() - 2));
  for (int i = 0; i < 90; ++i) {
    hosts.push_back(std::make_unique<Host>(s.port()));
    std::error_code ec;
    asio::write(hosts.back()->socket, asio::buffer(unfinished), ec);
    most = std::max(most, s.run([&] { return s.server.unfinished_bytes(); }));
  }
  ASSERT_TRUE(wait_until([&] {
    return s.run([&] {
      const auto& m = s.log.memo();
      return std::any_of(m.begin(), m.end(), [](const std::string& l) {
        return l.rfind("Error : unfinished messages of all hosts over 64 MiB: host 127.0.0.1 holding ", 0) == 0;
      });
    });
  })) << s.run([&] { return s.log.memo().empty() ? std::string() : s.log.memo().back(); });
  EXPECT_LE(most, limits::kMaxUnfinishedBytes);
  // The hosts that kept their message are still there, and others are served.
  EXPECT_GT(s.run([&] { return s.server.session_count(); }), 40u);
  small.send(kReadData.substr(kReadData.size() - 2));
  EXPECT_EQ(visible(small.read_replies()), visible(kReadDataReply));
  Host other(s.port());
  other.send(kReadData);
  EXPECT_EQ(visible(other.read_replies()), visible(kReadDataReply));
  // Everything is given back when they go.
  hosts.clear();
  EXPECT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count() == 2; }); }));
  EXPECT_LT(s.run([&] { return s.server.unfinished_bytes(); }), limits::kReadChunkBytes * 4);
}

TEST(CommandServer, NoWorkIsDoneForAHostAlreadyCutOff) {
  TcpStation s;
  std::string big;
  while (big.size() < 200'000) big += "line " + std::to_string(big.size()) + std::string(40, 'x') + "\r\n";
  write_text(s.dir / "big.con", big);
  auto rchar = [] {
    std::ifstream in("/proc/self/io");
    for (std::string key; in >> key;) {
      long long v = 0;
      in >> v;
      if (key == "rchar:") return v;
    }
    return 0LL;
  };
  // A host that never reads asks for the 200 kB file 40 times, then for
  // 30 000 small replies, then for the file 300 times more.
  Host staller(s.port());
  ::setsockopt(staller.socket.native_handle(), SOL_SOCKET, SO_RCVBUF, std::array<int, 1>{4096}.data(), sizeof(int));
  const auto rcfg = frame("h", {"DO_COMMAND 1 F1 S1 \"RCFG\x05"
                                "big.con\""});
  std::string requests;
  for (int i = 0; i < 40; ++i) requests += rcfg;
  for (int i = 0; i < 30000; ++i) requests += kReadData;
  for (int i = 0; i < 300; ++i) requests += rcfg;
  const auto before = rchar();
  std::error_code ec;
  asio::write(staller.socket, asio::buffer(requests), ec);
  ASSERT_TRUE(wait_until([&] { return s.logged("Error : Cannot Connect socket or socket close!"); }));
  ASSERT_TRUE(wait_until([&] { return s.run([&] { return s.server.session_count() == 0; }); }));
  // Once the write bound gave the host up, nothing more was done for it: one
  // failed send, no later request executed, no file read for it.
  EXPECT_EQ(s.count_logged("Error : Cannot Connect socket or socket close!"), 1u);
  EXPECT_LT(s.count_logged("Emulator : do command "), 30000u);
  // At most what fits the bound, never the 68 MB of 340 full reads.
  EXPECT_LT(rchar() - before, 16'000'000);
}

TEST(CommandServer, ManyRealtimeSubscribersComeAndGoEachOnItsOwnTerms) {
  TcpStation s;
  const std::string batch = "\x02RT 200612071230 F1 F1S1 T01 IS 0 \x03";
  const std::string end =
      "\x02"
      "ACK 200612071230 F1 S1 \x03\x04";
  struct Subscriber {
    std::unique_ptr<Host> host;
    int period_s, duration_s;
  };
  std::vector<Subscriber> subs;
  std::vector<std::unique_ptr<Host>> quitters;
  // Hosts from different addresses, periods of 1 and 2 s, durations of up
  // to 4 s; between them, hosts that subscribe for long and then vanish.
  for (int i = 0; i < 12; ++i) {
    const auto address = "127.0.0." + std::to_string(10 + i);
    const int period = 1 + i % 2, duration = 1 + i % 4;
    auto host = std::make_unique<Host>(s.port(), "127.0.0.1", address.c_str());
    host->send(frame("h", {"BEGIN_REALTIME 1 F1 S1 " + std::to_string(period) + " " + std::to_string(duration)}));
    subs.push_back({std::move(host), period, duration});
    if (i % 3 == 0) {
      auto quitter = std::make_unique<Host>(s.port(), "127.0.0.1", ("127.0.1." + std::to_string(i)).c_str());
      quitter->send(frame("h", {"BEGIN_REALTIME 1 F1 S1 1 100"}));
      quitters.push_back(std::move(quitter));
    }
  }
  // One long subscription is ended by its host's END_REALTIME.
  Host ender(s.port(), "127.0.0.1", "127.0.2.1");
  ender.send(frame("h", {"BEGIN_REALTIME 1 F1 S1 1 100"}));
  auto subscribed = [&](const std::string& address) {
    return s.run([&] {
      const auto& list = s.st.realtime().subscribers();
      return std::any_of(list.begin(), list.end(), [&](const auto& e) { return e.address == address; });
    });
  };
  ASSERT_TRUE(wait_until([&] { return subscribed("127.0.2.1") && subscribed("127.0.1.9"); }));
  quitters.clear();
  ender.send(frame("h", {"END_REALTIME 1 F1 S1"}));
  {
    auto got = ender.read_replies();
    ASSERT_TRUE(got.starts_with("\x01h" + batch) && got.ends_with(end)) << visible(got);
    got = got.substr(2, got.size() - 2 - end.size());
    while (got.starts_with(batch)) got.erase(0, batch.size());
    EXPECT_EQ(visible(got), "");
  }
  for (auto& sub : subs) {
    SCOPED_TRACE(sub.period_s * 100 + sub.duration_s);
    const int batches = std::max(1, (sub.duration_s + sub.period_s - 1) / sub.period_s);
    std::string want = "\x01h";
    for (int b = 0; b < batches; ++b) want += batch;
    EXPECT_EQ(visible(sub.host->read_replies()), visible(want + end));
  }
  EXPECT_TRUE(s.logged("Emulator : Program Cancel send realtime"));
  EXPECT_TRUE(wait_until([&] { return s.run([&] { return !s.st.realtime().running(); }); }));
  EXPECT_EQ(s.run([&] { return s.st.realtime().subscribers().size(); }), 0u);
}
