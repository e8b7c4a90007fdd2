#include "station/event_buffer.hpp"
#include "station/event_delivery.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_test.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::RecordingUplink;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;

namespace {

// What a station started on the folder would find buffered.
std::vector<std::string> undelivered(const std::filesystem::path& file) {
  EventBuffer reloaded;
  reloaded.load(file);
  return reloaded.lines();
}

}  // namespace

TEST(EventBuffer, LoadsLinesWithTheirControlCharactersAndAMissingFileIsEmpty) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  EXPECT_TRUE(buffer.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "Event.Sav"));

  write_text(dir / "Event.Sav",
             "\x01\x02"
             "a\x03\x04\r\nb\n\r\n");
  EXPECT_FALSE(buffer.load(dir / "Event.Sav").torn_last_line);
  EXPECT_THAT(buffer.lines(), ElementsAre("\x01\x02"
                                          "a\x03\x04",
                                          "b", ""));
  EXPECT_EQ(buffer.add("c"), 4u);
  EXPECT_EQ(read_text(dir / "Event.Sav"),
            "\x01\x02"
            "a\x03\x04\r\nb\n\r\nc\r\n");
}

TEST(EventBuffer, ATornLastLineIsKeptAndNextEventsStartOnTheirOwnLine) {
  TempDir dir;
  write_text(dir / "Event.Sav", "one\r\ntwo\r\nthr");
  EventBuffer buffer;
  EXPECT_TRUE(buffer.load(dir / "Event.Sav").torn_last_line);
  EXPECT_THAT(buffer.lines(), ElementsAre("one", "two", "thr"));
  buffer.add("four");
  EXPECT_EQ(read_text(dir / "Event.Sav"), "one\r\ntwo\r\nthr\r\nfour\r\n");
  // The torn line counts with the line end it was given: delivered up to
  // it, a restart begins at the next event.
  buffer.remove_front(3);
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("four"));

  orvane::test::StationTest s{orvane::test::StationTest::for_events()};
  write_text(s.dir / "Event.Sav", "x\r\ny");
  s.take_lines();
  s->event_path().load();
  EXPECT_THAT(s.take_lines(),
              ElementsAre("Events : Event.Sav ended inside a line (an interrupted write); the line is kept as it is"));
  EXPECT_EQ(s->event_path().buffer().size(), 2u);
}

TEST(EventBuffer, ALineWithALineBreakIsRefused) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  EXPECT_THROW(buffer.add("a\r\nb"), std::invalid_argument);
  EXPECT_TRUE(buffer.empty());
}

// Events made while an upload runs are neither sent nor dropped by it.
TEST(EventBuffer, AnUploadRemovesOnlyTheLinesItStored) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  buffer.add("e1");
  buffer.add("e2");
  RecordingUplink uplink;
  int n = 0;
  uplink.on_store = [&] { buffer.add("late" + std::to_string(++n)); };
  test::ManualClock clock;
  std::atomic<bool> online{false};
  std::vector<std::string> log;
  EventDelivery delivery(
      buffer, [&](std::string l) { log.push_back(l); }, clock, &uplink, nullptr, nullptr, online);
  DeliverySettings settings;
  delivery.upload_buffer(settings, false);
  EXPECT_THAT(uplink.stored, ElementsAre("e1", "e2"));
  EXPECT_THAT(buffer.lines(), ElementsAre("late1", "late2"));
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("late1", "late2"));
  EXPECT_THAT(log, ElementsAre("Send : 2 Events", "Events : Send Completed"));
  delivery.stop();
  EXPECT_EQ(read_text(dir / "Event.Sav"), "late1\r\nlate2\r\n");
}

// A backlog larger than one upload's share of the thread drains over several
// ticks, each removing exactly what it stored. A LAN upload stores for 30 s
// of steady time, a dial-up upload for 600 s; the first line always goes.
TEST(EventBuffer, AnUploadCutShortByItsBudgetRemovesWhatItStored) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  for (const char* e : {"e1", "e2", "e3", "e4", "e5", "e6"}) buffer.add(e);
  RecordingUplink uplink;
  test::ManualSteadyTime steady;
  uplink.after_store = [&] { steady.advance(std::chrono::seconds(12)); };  // a slow host
  test::ManualClock clock;
  std::atomic<bool> online{false};
  std::vector<std::string> log;
  EventDelivery delivery(
      buffer, [&](std::string l) { log.push_back(l); }, clock, &uplink, nullptr, nullptr, online, steady);
  DeliverySettings settings;
  delivery.upload_buffer(settings, false);  // stores at 0, 12 and 24 s; at 36 s the budget is spent
  EXPECT_THAT(buffer.lines(), ElementsAre("e4", "e5", "e6"));
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("e4", "e5", "e6"));
  delivery.set_upload_budget(std::chrono::milliseconds(-1), std::chrono::seconds(600));
  delivery.upload_buffer(settings, false);  // no budget: one line
  EXPECT_THAT(buffer.lines(), ElementsAre("e5", "e6"));
  delivery.upload_buffer(settings, true);  // the dial-up budget covers the rest
  EXPECT_THAT(uplink.stored, ElementsAre("e1", "e2", "e3", "e4", "e5", "e6"));
  EXPECT_TRUE(buffer.empty());
  EXPECT_THAT(log, ElementsAre("Send : 6 Events", "Send : 3 Events", "Send : 2 Events", "Events : Send Completed"));
}

// What the metrics count of uploads: each attempt, whether it reached the
// host, what it stored and how long it took; a failure is never counted as
// a success.
TEST(EventBuffer, EachUploadReportsItsOutcomeForTheCounts) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  for (const char* e : {"e1", "e2", "e3"}) buffer.add(e);
  RecordingUplink uplink;
  test::ManualSteadyTime steady;
  test::ManualClock clock;
  std::atomic<bool> online{false};
  EventDelivery delivery(
      buffer, [](std::string) {}, clock, &uplink, nullptr, nullptr, online, steady);
  EventCounters counts;
  delivery.set_report([&](const UploadOutcome& outcome) { counts.record(outcome); });
  DeliverySettings settings;

  uplink.host_down = true;
  delivery.upload_buffer(settings, false);
  EXPECT_EQ(counts.last_upload, "not connected");
  uplink.host_down = false;
  int stores = 0;
  uplink.on_store = [&] {
    steady.advance(std::chrono::milliseconds(300));
    if (++stores == 2) throw std::runtime_error("552 disk full");
  };
  delivery.upload_buffer(settings, false);  // e1 stored, e2 refused
  EXPECT_EQ(counts.last_upload, "failed");
  EXPECT_EQ(counts.delivered, 1u);
  delivery.upload_buffer(settings, false);  // e2 and e3
  EXPECT_EQ(counts.last_upload, "ok");
  EXPECT_EQ(counts.delivered, 3u);
  EXPECT_EQ(counts.upload_attempts, 3u);
  EXPECT_EQ(counts.upload_failures, 2u);
  EXPECT_EQ(counts.upload_seconds.count, 3u);
  EXPECT_DOUBLE_EQ(counts.upload_seconds.sum_seconds, 0 + 0.6 + 0.6);
  EXPECT_EQ(counts.upload_seconds.buckets[0], 1u);
  EXPECT_EQ(counts.upload_seconds.buckets[8], 2u);  // 0.6 s: in (0.5, 1]
}

// The lines of one event check go out in one write and one flush, and count
// only once it succeeded; a failed flush leaves the file as it was.
TEST(EventBuffer, LinesAddedTogetherShareOneFlushAndAFailedFlushAddsNone) {
  TempDir dir;
  int flushes = 0;
  bool fail = false;
  EventBuffer buffer([&](int fd) {
    ++flushes;
    if (fail) return errno = EIO, -1;
    return ::fdatasync(fd);
  });
  buffer.load(dir / "Event.Sav");
  EXPECT_EQ(buffer.add_all({"a", "b", "c"}), 3u);
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(buffer.add_all({}), 3u);
  EXPECT_EQ(flushes, 1);

  fail = true;
  try {
    buffer.add_all({"d", "e"});
    ADD_FAILURE() << "a failed flush was taken for success";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EIO);
  }
  EXPECT_EQ(buffer.size(), 3u);
  EXPECT_EQ(read_text(dir / "Event.Sav"), "a\r\nb\r\nc\r\n");
  EXPECT_THROW(buffer.add_all({"f", "g\nh"}), std::invalid_argument);

  fail = false;
  EXPECT_EQ(buffer.add("f"), 4u);
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("a", "b", "c", "f"));
}

// Delivered lines leave the buffer by moving its head, not by rewriting the
// file; a station started after a kill finds exactly the undelivered lines.
TEST(EventBuffer, RemovingMovesTheHeadAndTheFileIsCutWhenNothingWaitsOrAtStop) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  buffer.add_all({"a", "b", "c"});
  const auto before = identity_of(dir / "Event.Sav");
  buffer.remove_front(2);
  EXPECT_EQ(identity_of(dir / "Event.Sav"), before);
  EXPECT_EQ(read_text(dir / "Event.Sav"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(buffer.position().offset, 6u);
  buffer.add("d");
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("c", "d"));
  EXPECT_FALSE(buffer.compact(false));  // a small prefix waits for later

  EXPECT_TRUE(buffer.compact(true));  // a clean stop
  EXPECT_EQ(read_text(dir / "Event.Sav"), "c\r\nd\r\n");
  EXPECT_EQ(buffer.position().offset, 0u);
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("c", "d"));

  buffer.remove_front(2);
  EXPECT_TRUE(buffer.compact(false));  // nothing waits
  EXPECT_EQ(read_text(dir / "Event.Sav"), "");
  EXPECT_TRUE(undelivered(dir / "Event.Sav").empty());
}

// Once the delivered prefix outweighs the rest (and is large) it is cut,
// lines added meanwhile included; small prefixes are left alone.
TEST(EventBuffer, ALargeDeliveredPrefixIsCutAwayKeepingEveryWaitingLine) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  const std::string line(1000, 'x');
  std::vector<std::string> batch(3000, line);
  buffer.add_all(batch);
  buffer.remove_front(1000);
  EXPECT_FALSE(buffer.compact(false));  // 1 MB removed, 2 MB waiting
  buffer.remove_front(1000);
  BufferPosition seen_now, seen_next;
  EXPECT_TRUE(buffer.compact(false, [&](const BufferPosition& now, const BufferPosition& next) {
    seen_now = now;
    seen_next = next;
  }));
  EXPECT_EQ(seen_now.offset, 2000u * 1002u);
  EXPECT_EQ(seen_next, buffer.position());
  EXPECT_EQ(std::filesystem::file_size(dir / "Event.Sav"), 1000u * 1002u);
  EXPECT_EQ(undelivered(dir / "Event.Sav").size(), 1000u);
}

// A kill on either side of the swap: before it the old file and its head
// hold, after it the new file holds from its start (the old head names a
// file that is gone). A head of another file is never applied.
TEST(EventBuffer, AKillAroundTheSwapOrAForeignHeadLosesAndRepeatsNothing) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  buffer.add_all({"a", "b", "c"});
  buffer.remove_front(1);
  struct Killed {};
  EXPECT_THROW(buffer.compact(true, [](const BufferPosition&, const BufferPosition&) { throw Killed{}; }), Killed);
  EXPECT_EQ(read_text(dir / "Event.Sav"), "a\r\nb\r\nc\r\n");
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("b", "c"));

  const auto old_head = read_text(buffer.head_file());
  EXPECT_TRUE(buffer.compact(true));
  write_text(buffer.head_file(), old_head);  // killed before the head was rewritten
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("b", "c"));

  // A head of this file that falls inside a line cuts none in two: every line waits.
  {
    TempDir other;
    EventBuffer b2;
    b2.load(other / "Event.Sav");
    b2.add_all({"a", "bb", "c"});
    b2.remove_front(1);
    auto head = read_text(b2.head_file());
    head.replace(head.rfind(' ') + 1, std::string::npos, "4\r\n");  // inside "bb"
    write_text(b2.head_file(), head);
    EXPECT_THAT(undelivered(other / "Event.Sav"), ElementsAre("a", "bb", "c"));
  }

  // Replaced by hand with a file of other lines: all of them wait.
  buffer.remove_front(1);
  write_text(dir / "Event.new", "x\r\ny\r\n");
  std::filesystem::rename(dir / "Event.new", dir / "Event.Sav");
  EXPECT_THAT(undelivered(dir / "Event.Sav"), ElementsAre("x", "y"));
  EXPECT_FALSE(std::filesystem::exists(buffer.head_file()));
}

// Lines flushed with other stations' count only once their flush is over:
// until then nothing sees them and compaction leaves the file be; a failed
// flush cuts them off the file, together with the appends written after
// them, so none of them comes back after a restart.
TEST(EventBuffer, AppendedLinesCountOnlyAfterTheirSharedFlush) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir.path() / "Event.Sav");
  buffer.add_all({"a1", "a2"});
  buffer.remove_front(1);
  buffer.append_unflushed({"b1", "b2"});
  buffer.append_unflushed({"c1"});
  EXPECT_EQ(buffer.size(), 1u);
  EXPECT_TRUE(buffer.has_unflushed());
  EXPECT_THROW(buffer.add("x"), std::logic_error);
  EXPECT_FALSE(buffer.compact(true));
  EXPECT_EQ(read_text(dir.path() / "Event.Sav"), "a1\r\na2\r\nb1\r\nb2\r\nc1\r\n");
  EXPECT_EQ(buffer.commit_appended(false), std::nullopt);
  EXPECT_EQ(read_text(dir.path() / "Event.Sav"), "a1\r\na2\r\n");
  // An append made after the failure waits behind the one cut with it.
  buffer.append_unflushed({"d1"});
  EXPECT_EQ(buffer.commit_appended(true), std::nullopt);
  EXPECT_EQ(buffer.commit_appended(true), 2u);
  EXPECT_FALSE(buffer.has_unflushed());
  EXPECT_THAT(buffer.lines(), ElementsAre("a2", "d1"));
  EXPECT_TRUE(buffer.compact(true));
  EXPECT_EQ(read_text(dir.path() / "Event.Sav"), "a2\r\nd1\r\n");
  EventBuffer again;
  again.load(dir.path() / "Event.Sav");
  EXPECT_THAT(again.lines(), ElementsAre("a2", "d1"));
}

// The threads of a station at work: its event checks add lines while the
// delivery worker stores and removes them and cuts the delivered prefix
// away, and a second uploader (a fleet's upload session) tries at the same
// time. The host gets every line once and in order, and the file holds
// exactly what waits. Run under ThreadSanitizer by the suite too.
TEST(EventBuffer, ChecksUploadsAndCompactionsOnTheirThreadsLoseAndRepeatNothing) {
  TempDir dir;
  std::atomic<bool> adding{true};
  // The disk's flushes are not what is tested; the worker's are where the
  // checks get in: each asks the adding loop below for its next group and
  // waits a moment for it, so lines come while the worker copies the file
  // outside the lock. Relaxed atomics only: ThreadSanitizer sees no order
  // between the threads but what the buffer itself makes.
  const auto station_thread = std::this_thread::get_id();
  std::atomic<int> asked{0}, served{0};
  EventBuffer buffer([&](int) {
    if (std::this_thread::get_id() != station_thread && adding) {
      const int ask = asked.fetch_add(1, std::memory_order_relaxed) + 1;
      // Bounded: the worker may hold the lock the adds wait for.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
      while (served.load(std::memory_order_relaxed) < ask && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    }
    return 0;
  });
  buffer.load(dir / "Event.Sav");
  std::mutex stored_mutex;
  std::vector<std::string> stored, errors;
  struct Host final : EventUplink {
    std::mutex& mutex;
    std::vector<std::string>& stored;
    Host(std::mutex& m, std::vector<std::string>& s) : mutex(m), stored(s) {}
    void connect(const UplinkTarget&) override {}
    bool connected() const override { return true; }
    void change_dir(const std::string&) override {}
    void store(const std::string&, std::string_view bytes) override {
      std::lock_guard lock(mutex);
      stored.emplace_back(bytes);
    }
    void disconnect() noexcept override {}
  } host(stored_mutex, stored);
  test::ManualClock clock;
  std::atomic<bool> online{false};
  EventDelivery delivery(
      buffer,
      [&](std::string line) {
        std::lock_guard lock(stored_mutex);
        if (line.find("Error") != std::string::npos) errors.push_back(line);
      },
      clock, &host, nullptr, nullptr, online);
  // Lines of about 1 KiB: a delivered prefix past 1 MiB is cut away while
  // lines still wait, not only once the buffer is empty.
  const std::string pad(1000, 'x');
  constexpr int kLines = 6000;
  std::thread second_uploader([&] {
    while (adding) delivery.upload_buffer(DeliverySettings{}, false);
  });
  std::mt19937 rng(7);
  for (int next = 0; next < kLines;) {
    std::vector<std::string> group;
    for (auto n = 1 + rng() % 8; n > 0 && next < kLines; --n) group.push_back(std::to_string(next++) + " " + pad);
    const int asks = asked.load(std::memory_order_relaxed);
    buffer.add_all(group);
    served.store(asks, std::memory_order_relaxed);
    delivery.check_and_send(DeliverySettings{});
  }
  adding = false;
  second_uploader.join();
  delivery.join_worker();
  // What a restart now would find: every line still waiting, none delivered.
  ASSERT_EQ(undelivered(dir / "Event.Sav"), buffer.lines());
  while (!buffer.empty()) {
    delivery.check_and_send(DeliverySettings{});
    delivery.join_worker();
  }
  delivery.stop();
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(kLines));
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(stored[i], std::to_string(i) + " " + pad) << i;
  EXPECT_TRUE(undelivered(dir / "Event.Sav").empty());
  EXPECT_EQ(std::filesystem::file_size(dir / "Event.Sav"), 0u);
  EXPECT_THAT(errors, ElementsAre());
}
