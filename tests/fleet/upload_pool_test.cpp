#include "fleet/upload_pool.hpp"
#include "net/ftp_uplink.hpp"
#include "station/event_delivery.hpp"
#include "support/ftp_test_server.hpp"
#include "support/manual_clock.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

using namespace orvane;
using orvane::test::FtpTestServer;
using orvane::test::read_text;
using orvane::test::TempDir;
using ::testing::IsEmpty;

namespace {

std::string event(int station, int n) {
  return "\x01\x02"
         "EVENTA 200612071230 F1 F1S" +
         std::to_string(station) + " TEMP" + std::to_string(n) + " IS " + std::to_string(n) + "\x03\x04";
}

std::vector<std::string> events(int station, int from, int to) {
  std::vector<std::string> out;
  for (int n = from; n <= to; ++n) out.push_back(event(station, n));
  return out;
}

// Steady time that moves a millisecond each time it is read: an upload's
// budget then ends after a fixed number of stores, however fast the host.
class SteppingTime final : public SteadyTime {
 public:
  TimePoint now() const override { return TimePoint(std::chrono::milliseconds(++ms_)); }
  std::unique_ptr<Alarm> make_alarm(asio::io_context&) override { throw std::logic_error("no alarms here"); }
  void pause_until(TimePoint, const std::atomic<bool>&) override {}

 private:
  mutable std::atomic<long long> ms_{0};
};

std::unique_ptr<UploadPool> ftp_pool(std::size_t sessions) {
  return std::make_unique<UploadPool>(
      [] {
        return std::make_unique<FtpUplink>(FtpTimeouts{std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
                                                       std::chrono::milliseconds(2000)});
      },
      sessions);
}

// One station of a fleet: its buffer in a folder of its own and its
// delivery over the pool, into a folder of its own on the host.
struct PooledStation {
  int index;
  TempDir dir;
  EventBuffer buffer;
  test::ManualClock clock;
  SteppingTime steady;
  std::atomic<bool> online{false};
  std::mutex mutex;
  std::vector<std::string> log;
  std::optional<EventDelivery> delivery;

  PooledStation(int index, int events, UploadRunner& pool) : index(index) {
    buffer.load(dir / "Event.Sav");
    for (int n = 1; n <= events; ++n) buffer.add(event(index, n));
    attach(pool);
  }
  void attach(UploadRunner& pool) {
    delivery.emplace(
        buffer,
        [this](std::string line) {
          std::lock_guard g(mutex);
          log.push_back(std::move(line));
        },
        clock, nullptr, nullptr, nullptr, online, steady, &pool);
  }
  DeliverySettings settings(FtpTestServer& server) const {
    std::filesystem::create_directories(server.folder() / folder());
    DeliverySettings s;
    s.target = {"127.0.0.1", server.port(), "Guest", "Tulip"};
    s.eventpath = std::string(FtpTestServer::kEventPath) + "/" + folder();
    return s;
  }
  std::string folder() const { return "s" + std::to_string(index); }
  // The station's files on the host in the order of their names.
  std::map<std::string, std::string> stored(const FtpTestServer& server) const {
    std::map<std::string, std::string> out;
    const auto where = server.folder() / folder();
    if (!std::filesystem::exists(where)) return out;
    for (const auto& e : std::filesystem::directory_iterator(where)) out[e.path().filename()] = read_text(e.path());
    return out;
  }
  std::vector<std::string> undelivered() const {
    EventBuffer reloaded;
    reloaded.load(dir / "Event.Sav");
    return reloaded.lines();
  }
  std::vector<std::string> errors() {
    std::lock_guard g(mutex);
    std::vector<std::string> out;
    for (const auto& l : log)
      if (l.find("Error") != std::string::npos) out.push_back(l);
    return out;
  }
};

std::vector<std::string> in_name_order(const std::map<std::string, std::string>& files) {
  std::vector<std::string> out;
  for (const auto& [name, bytes] : files) out.push_back(bytes);
  return out;
}

}  // namespace

// Six stations over two sessions, each upload ending after about ten
// stores, so every station takes several turns: each event reaches its
// station's folder once and in order, and nothing is left buffered.
TEST(UploadPool, SessionsShareTheStationsUploadsDeliveringEachEventOnceInOrder) {
  FtpTestServer server;
  auto pool = ftp_pool(2);
  std::vector<std::unique_ptr<PooledStation>> stations;
  for (int i = 1; i <= 6; ++i) {
    stations.push_back(std::make_unique<PooledStation>(i, 25, *pool));
    stations.back()->delivery->set_upload_budget(std::chrono::milliseconds(10), std::chrono::minutes(10));
  }
  for (int tick = 0; tick < 20; ++tick) {
    for (auto& s : stations) s->delivery->check_and_send(s->settings(server));
    for (auto& s : stations) s->delivery->check_and_send(s->settings(server));  // one upload a station at a time
    for (auto& s : stations) s->delivery->join_worker();
  }
  for (auto& s : stations) {
    SCOPED_TRACE(s->index);
    EXPECT_EQ(in_name_order(s->stored(server)), events(s->index, 1, 25));
    EXPECT_TRUE(s->buffer.empty());
    EXPECT_THAT(s->undelivered(), IsEmpty());
    EXPECT_THAT(s->errors(), IsEmpty());
  }
  pool->stop();  // a job's count comes after its station has seen it end
  const auto stats = pool->stats();
  EXPECT_GE(stats.peak_busy, 1u);
  EXPECT_LE(stats.peak_busy, 2u);
  EXPECT_GE(stats.jobs_run, 6u * 3);  // 25 events at about ten a turn
  EXPECT_EQ(stats.jobs_dropped, 0u);
}

// The fleet stops while uploads run against a slow host: it stops within
// two seconds, the uploads queued behind are dropped (their stations may
// ask again), every event not stored stays in its station's buffer, and a
// later delivery gives the host each event exactly once.
TEST(UploadPool, StoppingDuringUploadsLosesAndRepeatsNothing) {
  FtpTestServer slow({"--reply-delay", "0.05"});
  auto pool = ftp_pool(2);
  auto after = ftp_pool(2);  // pools outlive the stations they serve
  std::vector<std::unique_ptr<PooledStation>> stations;
  for (int i = 1; i <= 6; ++i) stations.push_back(std::make_unique<PooledStation>(i, 25, *pool));
  for (auto& s : stations) s->delivery->check_and_send(s->settings(slow));
  ASSERT_TRUE(slow.wait_stored(3));
  const auto before = std::chrono::steady_clock::now();
  pool->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(pool->stats().jobs_dropped, 4u);
  for (auto& s : stations) {
    SCOPED_TRACE(s->index);
    EXPECT_FALSE(s->delivery->worker_running());
    s->delivery->check_and_send(s->settings(slow));  // a stopped pool takes nothing
    EXPECT_FALSE(s->delivery->worker_running());
    EXPECT_THAT(s->errors(), IsEmpty());  // cut short, not failed
    const auto left = s->undelivered();
    EXPECT_EQ(left, s->buffer.lines());
    EXPECT_EQ(left, events(s->index, 26 - static_cast<int>(left.size()), 25));
  }

  FtpTestServer good;
  for (auto& s : stations) s->attach(*after);
  for (auto& s : stations) s->delivery->check_and_send(s->settings(good));
  for (auto& s : stations) s->delivery->join_worker();
  for (auto& s : stations) {
    SCOPED_TRACE(s->index);
    EXPECT_TRUE(s->buffer.empty());
    // A store cut short is redone under its name: the later copy counts.
    auto all = s->stored(slow);
    for (const auto& [name, bytes] : s->stored(good)) all[name] = bytes;
    EXPECT_EQ(in_name_order(all), events(s->index, 1, 25));
  }
}

// A station closing takes its upload back from the pool: a queued one never
// runs (its delivery is gone), a running one is cut short at once, and the
// session whose uplink that cancelled goes on serving the others.
TEST(UploadPool, AClosingStationTakesItsUploadBackAndTheSessionServesOn) {
  FtpTestServer slow({"--reply-delay", "0.1"});
  auto pool = ftp_pool(1);
  PooledStation running(1, 3, *pool), queued(2, 3, *pool);
  running.delivery->check_and_send(running.settings(slow));
  ASSERT_TRUE(slow.wait_stored(1));
  queued.delivery->check_and_send(queued.settings(slow));
  EXPECT_TRUE(queued.delivery->worker_running());

  queued.delivery.reset();
  const auto before = std::chrono::steady_clock::now();
  running.delivery.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_THAT(queued.stored(slow), IsEmpty());
  EXPECT_EQ(queued.undelivered(), events(2, 1, 3));
  const auto left = running.undelivered();
  EXPECT_EQ(left, events(1, 4 - static_cast<int>(left.size()), 3));
  EXPECT_THAT(running.errors(), IsEmpty());

  queued.attach(*pool);
  queued.delivery->check_and_send(queued.settings(slow));
  queued.delivery->join_worker();
  EXPECT_EQ(in_name_order(queued.stored(slow)), events(2, 1, 3));
  EXPECT_TRUE(queued.buffer.empty());
  pool->stop();  // a job's count comes after its station has seen it end
  EXPECT_EQ(pool->stats().jobs_run, 2u);
}
