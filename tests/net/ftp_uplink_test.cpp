#include "net/ftp_uplink.hpp"
#include "platform/clock.hpp"
#include "station/event_delivery.hpp"
#include "support/black_hole.hpp"
#include "support/ftp_test_server.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

using namespace orvane;
using orvane::test::FtpTestServer;
using orvane::test::read_text;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

std::string event(int n) {
  return "\x01\x02"
         "EVENTA 200612071230 F1 F1S1 TEMP" +
         std::to_string(n) + " IS " + std::to_string(n) + "\x03\x04";
}

// A buffer in a scratch station folder, an uplink and the delivery, with
// the log lines collected.
struct Uplink {
  TempDir dir;
  EventBuffer buffer;
  test::ManualClock log_clock{make_local_time(2006, 12, 7, 9, 5, 7)};
  FtpUplink ftp{
      FtpTimeouts{std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(2000)}};
  std::atomic<bool> online{false};
  std::mutex mutex;
  std::vector<std::string> log;
  EventDelivery delivery{buffer,
                         [this](std::string l) {
                           std::lock_guard g(mutex);
                           log.push_back(std::move(l));
                         },
                         log_clock,
                         &ftp,
                         nullptr,
                         nullptr,
                         online};

  explicit Uplink(int events) {
    buffer.load(dir / "Event.Sav");
    for (int i = 1; i <= events; ++i) buffer.add(event(i));
  }
  DeliverySettings settings(int port) const {
    DeliverySettings s;
    s.target = {"127.0.0.1", port, "Guest", "Tulip"};
    s.eventpath = FtpTestServer::kEventPath;
    return s;
  }
  std::string file() { return read_text(dir / "Event.Sav"); }
  std::vector<std::string> undelivered() {
    EventBuffer reloaded;
    reloaded.load(dir / "Event.Sav");
    return reloaded.lines();
  }
  std::vector<std::string> taken_log() {
    std::lock_guard g(mutex);
    return std::exchange(log, {});
  }
};

std::vector<std::string> events(int from, int to) {
  std::vector<std::string> out;
  for (int n = from; n <= to; ++n) out.push_back(event(n));
  return out;
}

std::string crlf(std::initializer_list<int> ns) {
  std::string out;
  for (int n : ns) out += event(n) + "\r\n";
  return out;
}

}  // namespace

TEST(FtpUplink, StoresEachEventAsItsOwnFileOverOneConnection) {
  FtpTestServer server;
  Uplink u(3);
  u.delivery.upload_buffer(u.settings(server.port()), false);

  const auto files = server.files();
  ASSERT_EQ(files.size(), 3u);
  for (const auto& [name, bytes] : files) EXPECT_TRUE(std::regex_match(name, std::regex("Emulate[0-9]{9}"))) << name;
  EXPECT_THAT(server.contents(), ElementsAre(event(1), event(2), event(3)));
  EXPECT_EQ(server.connections(), 1);
  EXPECT_EQ(u.buffer.size(), 0u);
  EXPECT_EQ(u.file(), "");
  EXPECT_THAT(u.log, ElementsAre("Send : 3 Events", "Events : Send Completed"));
}

TEST(FtpUplink, NamesStayUniqueWhenStoresComeFasterThanTheClock) {
  FtpTestServer server;
  Uplink u(150);
  u.delivery.upload_buffer(u.settings(server.port()), false);
  EXPECT_EQ(server.files().size(), 150u);
  EXPECT_EQ(u.buffer.size(), 0u);
}

// The host gets every event once and in order: the stored line leaves the
// buffer, the upload stops at the failed one, and the next upload starts there.
TEST(FtpUplink, AFailedStoreEndsTheUploadAndTheNextOneGoesOnFromIt) {
  FtpTestServer server({"--fail-store", "2"});
  Uplink u(3);
  u.delivery.upload_buffer(u.settings(server.port()), false);
  EXPECT_EQ(server.files().size(), 1u);  // the third was not tried
  EXPECT_EQ(u.buffer.size(), 2u);
  EXPECT_EQ(u.undelivered(), events(2, 3));
  EXPECT_THAT(u.log, ElementsAre("Send : 3 Events", "09:05:07 Error : send event error"));

  u.log.clear();
  u.delivery.upload_buffer(u.settings(server.port()), false);
  EXPECT_THAT(server.contents(), ElementsAre(event(1), event(2), event(3)));
  EXPECT_EQ(u.buffer.size(), 0u);
  EXPECT_EQ(u.file(), "");
  EXPECT_THAT(u.log, ElementsAre("Send : 2 Events", "Events : Send Completed"));
}

// The retry of a failed or aborted store goes to the same name: whatever
// the aborted transfer left on the host is replaced, not kept beside it.
TEST(FtpUplink, AConnectionDroppedMidTransferLosesNothingAndTheRetryTakesTheSameName) {
  FtpTestServer server({"--drop-store", "2"});
  Uplink u(3);
  u.delivery.upload_buffer(u.settings(server.port()), false);
  EXPECT_EQ(u.buffer.size(), 2u);
  EXPECT_EQ(u.undelivered(), events(2, 3));
  EXPECT_EQ(std::count(u.log.begin(), u.log.end(), "09:05:07 Error : send event error"), 1);
  const auto first = server.files();
  ASSERT_EQ(first.size(), 1u);
  write_text(server.folder() / "Emulate090507001", "partial");  // as an aborted STOR may leave it

  u.delivery.upload_buffer(u.settings(server.port()), false);
  EXPECT_EQ(u.buffer.size(), 0u);
  const auto files = server.files();
  EXPECT_THAT(files, ElementsAre(Pair(first.begin()->first, event(1)), Pair("Emulate090507001", event(2)),
                                 Pair("Emulate090507002", event(3))));
}

// Thrown right after the Nth store reached the server, like a station
// killed there: nothing after it runs, the buffer keeps the lines.
struct Crash {};

// A station folder whose upload of the first `events` events is killed right
// after the store numbered `kill_after`, then restarted 5 s later.
struct KilledUpload {
  TempDir dir;
  std::atomic<bool> online{false};
  test::ManualClock clock{make_local_time(2006, 12, 7, 9, 5, 7)};
  FtpUplink ftp{
      FtpTimeouts{std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(2000)}};
  DeliverySettings settings;

  KilledUpload(const FtpTestServer& server, int events, std::size_t kill_after)
      : settings(Uplink(0).settings(server.port())) {
    EventBuffer buffer;
    buffer.load(dir / "Event.Sav");
    for (int i = 1; i <= events; ++i) buffer.add(event(i));
    test::RecordingUplink dying;
    dying.forward_to = &ftp;
    dying.after_store = [&dying, kill_after] {
      if (dying.stored.size() == kill_after) throw Crash{};
    };
    EventDelivery delivery(
        buffer, [](std::string) {}, clock, &dying, nullptr, nullptr, online);
    EXPECT_THROW(delivery.upload_buffer(settings, false), Crash);
  }

  // The restarted station's upload of what it finds buffered: the lines
  // buffered at its start, and what it logged.
  std::pair<std::size_t, std::vector<std::string>> restart() {
    clock.advance(std::chrono::seconds(5));
    EventBuffer buffer;
    buffer.load(dir / "Event.Sav");
    const auto buffered = buffer.size();
    std::vector<std::string> log;
    EventDelivery delivery(
        buffer, [&](std::string l) { log.push_back(std::move(l)); }, clock, &ftp, nullptr, nullptr, online);
    delivery.upload_buffer(settings, false);
    EXPECT_TRUE(buffer.empty());
    return {buffered, log};
  }
};

TEST(FtpUplink, AStationKilledAfterStoresBeforeTheRemovalStoresThemAgainUnderTheSameNames) {
  FtpTestServer server;
  KilledUpload station(server, 4, 2);
  EXPECT_EQ(server.files().size(), 2u);
  // Restarted a while later: the two stored lines are still buffered.
  const auto [buffered, log] = station.restart();
  EXPECT_EQ(buffered, 4u);
  EXPECT_THAT(log, ElementsAre("Send : 4 Events", "Events : Send Completed"));
  EXPECT_EQ(server.stored(), 6);  // two of them twice
  EXPECT_THAT(server.files(), ElementsAre(Pair("Emulate090507000", event(1)), Pair("Emulate090507001", event(2)),
                                          Pair("Emulate090507002", event(3)), Pair("Emulate090507003", event(4))));
}

// An upload longer than one batch: the next batch is named while the
// journal on disk still lists the batch just stored and removed. Killed
// right after the next batch's first store, the restart stores that one line
// again under its name, and every event reaches the host once, in order.
TEST(FtpUplink, AStationKilledJustPastABatchStoresOnlyThatBatchsLinesAgain) {
  FtpTestServer server;
  const int total = static_cast<int>(EventDelivery::kBatch) + 3;
  KilledUpload station(server, total, EventDelivery::kBatch + 1);
  const auto [buffered, log] = station.restart();
  EXPECT_EQ(buffered, 3u);  // the first batch left the buffer
  EXPECT_EQ(server.stored(), total + 1);
  // One file per event, in name order the events' order, the line stored
  // twice under the name it had before the kill.
  EXPECT_EQ(server.contents(), events(1, total));
  char last[32];
  std::snprintf(last, sizeof last, "Emulate090507%03d", total - 1);
  EXPECT_EQ(server.files().rbegin()->first, last);
}

TEST(FtpUplink, RefusedLoginOrNoServerLeavesTheBufferAndLogsOnlyOnTheWorker) {
  FtpTestServer refusing({"--refuse-login"});
  Uplink u(2);
  u.delivery.upload_buffer(u.settings(refusing.port()), false);
  EXPECT_TRUE(u.log.empty());
  u.delivery.upload_buffer(u.settings(refusing.port()), true);
  EXPECT_THAT(u.log, ElementsAre("Connect exception", "Connect server fail"));
  EXPECT_EQ(u.buffer.size(), 2u);
  EXPECT_EQ(u.file(), crlf({1, 2}));
  EXPECT_TRUE(refusing.files().empty());

  u.log.clear();
  u.delivery.upload_buffer(u.settings(orvane::test::free_tcp_port()), true);
  EXPECT_THAT(u.log, ElementsAre("Connect exception", "Connect server fail"));
  EXPECT_EQ(u.buffer.size(), 2u);
}

TEST(FtpUplink, AMissingEventFolderFailsTheUploadWithoutStoring) {
  FtpTestServer server;
  Uplink u(1);
  auto s = u.settings(server.port());
  s.eventpath = "/no/such/folder";
  EXPECT_THROW(u.delivery.upload_buffer(s, false), std::runtime_error);
  EXPECT_EQ(u.buffer.size(), 1u);
  EXPECT_TRUE(u.log.empty());
}

// The station thread only hands the upload over: with a host answering a
// second late it gets its thread back at once, and the log lines come in
// the order the upload made them.
TEST(FtpUplink, TheStationThreadHandsTheUploadOverAndGoesOn) {
  FtpTestServer slow({"--reply-delay", "0.1"});
  Uplink u(2);
  const auto before = std::chrono::steady_clock::now();
  u.delivery.check_and_send(u.settings(slow.port()));
  u.delivery.check_and_send(u.settings(slow.port()));  // one upload at a time
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
  EXPECT_TRUE(u.delivery.worker_running());
  u.delivery.join_worker();
  EXPECT_THAT(u.taken_log(), ElementsAre("Send : 2 Events", "Events : Send Completed"));
  EXPECT_THAT(slow.contents(), ElementsAre(event(1), event(2)));
  EXPECT_EQ(slow.connections(), 1);
  EXPECT_TRUE(u.buffer.empty());
  EXPECT_EQ(u.file(), "");
}

// Closing the station while the host is silent, swallows SYNs or answers a
// second late ends the upload within two seconds; what was stored left the
// buffer, the rest waits under its names, and a later upload gives the host
// every event exactly once.
TEST(FtpUplink, ClosingDuringAnUploadEndsQuicklyLosingAndRepeatingNothing) {
  test::BlackHole silent(test::BlackHole::Kind::silent);
  test::BlackHole no_syn(test::BlackHole::Kind::no_syn_answer);
  FtpTestServer slow({"--reply-delay", "1"});
  for (const int port : {silent.port(), no_syn.port(), slow.port()}) {
    SCOPED_TRACE(port);
    auto u = std::make_unique<Uplink>(4);
    FtpUplink ftp{FtpTimeouts{std::chrono::milliseconds(3000), std::chrono::milliseconds(3000),
                              std::chrono::milliseconds(60000)}};
    std::atomic<bool> online{false};
    std::optional<EventDelivery> delivery;
    delivery.emplace(
        u->buffer, [](std::string) {}, u->log_clock, &ftp, nullptr, nullptr, online);
    delivery->check_and_send(u->settings(port));
    // The slow host is mid-upload by now (login, folder and a first store
    // take several of its replies).
    std::this_thread::sleep_for(std::chrono::milliseconds(port == slow.port() ? 11000 : 500));
    const auto before = std::chrono::steady_clock::now();
    delivery.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    const auto left = u->undelivered();
    EXPECT_EQ(left.size(), u->buffer.size());
    std::string exact;
    for (const auto& l : left) exact += l + "\r\n";
    EXPECT_EQ(u->file(), exact);  // a clean stop leaves only what waits
    if (port == slow.port()) {
      EXPECT_GT(slow.stored(), 0);
      EXPECT_EQ(left, events(5 - static_cast<int>(left.size()), 4));
    } else {
      EXPECT_EQ(left, events(1, 4));
    }

    // Restarted towards a host that answers: each event reaches the host
    // once, a store cut short is redone under its name.
    FtpTestServer good;
    FtpUplink fresh;
    EventBuffer restarted;
    restarted.load(u->dir / "Event.Sav");
    EventDelivery after(
        restarted, [](std::string) {}, u->log_clock, &fresh, nullptr, nullptr, online);
    after.upload_buffer(u->settings(good.port()), false);
    EXPECT_TRUE(restarted.empty());
    auto all = port == slow.port() ? slow.files() : std::map<std::string, std::string>{};
    for (const auto& [name, bytes] : good.files()) all[name] = bytes;
    std::vector<std::string> got;
    for (const auto& [name, bytes] : all) got.push_back(bytes);
    EXPECT_EQ(got, events(1, 4));
  }
}

// A fleet's process holds thousands of descriptors, so the uplink's sockets
// are numbered past FD_SETSIZE (1 024), beyond what select()-style sets can
// hold: every file still arrives whole, and while the host takes its time
// the upload waits on its sockets rather than waking every millisecond.
TEST(FtpUplink, SocketsNumberedPastFdSetSizeAreWaitedOn) {
  FtpTestServer server, slow({"--reply-delay", "0.02"});
  // Descriptors taken until the next one is numbered past 1 100, under the
  // hard limit; given back at the end.
  struct Taken {
    rlimit limit{};
    std::vector<int> fds;
    ~Taken() {
      for (const int fd : fds) ::close(fd);
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
  } taken;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &taken.limit), 0);
  if (taken.limit.rlim_max < 1200) GTEST_SKIP() << "descriptor limit " << taken.limit.rlim_max;
  const rlimit raised{taken.limit.rlim_max, taken.limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  for (; next >= 0 && next <= 1100; next = ::fcntl(next, F_DUPFD_CLOEXEC, 0)) taken.fds.push_back(next);
  ASSERT_GT(next, 1100);
  ::close(next);

  struct Run {
    long long ms;
    long waits;  // the thread's voluntary context switches
  };
  const auto upload = [](const FtpTestServer& to, int files) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    FtpUplink ftp;
    ftp.connect({"127.0.0.1", to.port(), "Guest", "Tulip"});
    ftp.change_dir(FtpTestServer::kEventPath);
    for (int i = 0; i < files; ++i) ftp.store("E" + std::to_string(1000 + i), event(i));
    ftp.disconnect();
    const auto took = std::chrono::steady_clock::now() - start;
    ::getrusage(RUSAGE_THREAD, &after);
    return Run{std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), after.ru_nvcsw - before.ru_nvcsw};
  };
  const auto arrived_whole = [](const FtpTestServer& at, int files) {
    std::map<std::string, std::string> expected;
    for (int i = 0; i < files; ++i) expected["E" + std::to_string(1000 + i)] = event(i);
    return at.files() == expected;
  };

  const auto fast = upload(server, 200);
  std::printf("200 files in %lld ms, %ld waits\n", fast.ms, fast.waits);
  EXPECT_TRUE(arrived_whole(server, 200));
  EXPECT_LT(fast.ms, 20'000);
  // Replies 20 ms late: woken by each of them, a few times a file; polled
  // every millisecond, some 20 times as often.
  const auto patient = upload(slow, 5);
  std::printf("5 files, replies 20 ms late: %lld ms, %ld waits\n", patient.ms, patient.waits);
  EXPECT_TRUE(arrived_whole(slow, 5));
  EXPECT_LT(patient.waits, patient.ms / 5);
}
