#include "station/event_log_files.hpp"
#include "support/station_test.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::StationTest;

TEST(OperatorLog, MemoKeepsTwoHundredBeforeEachAddition) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  std::vector<std::string> observed;
  log.add_observer([&](const std::string& l) { observed.push_back(l); });
  for (int i = 1; i <= 200; ++i) log.log("line " + std::to_string(i));
  log.log("201");
  EXPECT_EQ(log.memo().size(), 201u);
  EXPECT_EQ(log.memo().front(), "line 1");
  log.log("202");
  EXPECT_EQ(log.memo().size(), 201u);
  EXPECT_EQ(log.memo().front(), "line 2");
  EXPECT_EQ(log.memo().back(), "202");
  EXPECT_EQ(observed.size(), 202u);
}

TEST(OperatorLog, LinesFromAnotherThreadArriveOnTheOwnerThreadInOrder) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) log.log("worker " + std::to_string(i));
  });
  worker.join();
  EXPECT_TRUE(log.memo().empty());  // not yet delivered
  ioc.poll();
  ASSERT_EQ(log.memo().size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(log.memo()[static_cast<std::size_t>(i)], "worker " + std::to_string(i));
}

TEST(EventLogFiles, ScaledAndRawLinesAppendedToTheDaysFiles) {
  StationTest f{{.deferred = true}};
  const auto t = make_local_time(2006, 12, 7, 12, 30);
  const std::string line =
      "\x01\x02"
      "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\x03\x04";
  write_event_log(f.dir.path(), t, line);
  write_event_log(f.dir.path(), t, "a,b");
  write_raw_event_log(f.dir.path(), t, line);
  write_event_log(f.dir.path(), t, "  \x01\x03 ");  // blank: nothing
  EXPECT_EQ(read_text(f.dir / "log/20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 12.3\r\na 0.0\r\n");
  EXPECT_EQ(read_text(f.dir / "log/U20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\r\n");
}

TEST(EventLogFiles, MidnightSwitchesFilesAndAnOpenLastLineIsEnded) {
  StationTest f{{.deferred = true}};
  f.clock.set(make_local_time(2006, 12, 31, 23, 59, 59, 990));
  orvane::test::write_text(f.dir / "log/20061231.log", "hand-edited line without end");
  write_event_log(f.dir.path(), f.clock.now(), "before 100");
  f.clock.advance(std::chrono::milliseconds(20));
  write_event_log(f.dir.path(), f.clock.now(), "after 200");
  EXPECT_EQ(read_text(f.dir / "log/20061231.log"), "hand-edited line without end\r\nbefore 1.0\r\n");
  EXPECT_EQ(read_text(f.dir / "log/20070101.log"), "after 2.0\r\n");
}

TEST(EventLogFiles, MissingLogFolderIsAnErrorForTheCaller) {
  orvane::test::TempDir dir;
  EXPECT_THROW(write_event_log(dir.path(), make_local_time(2006, 1, 1), "x 1"), std::system_error);
  EXPECT_FALSE(std::filesystem::exists(dir / "log"));
}

TEST(OperatorLog, RepeatsWithinABoundAreCountedAndSummedUpAtItsEnd) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  {
    const OperatorLog::RepeatBound outer(log);
    for (int i = 0; i < 5; ++i) log.log("a");
    {
      const OperatorLog::RepeatBound inner(log);  // nested: one bound
      for (int i = 0; i < 10; ++i) log.log("b");
      log.log("c");
    }
    EXPECT_EQ(log.memo().size(), 7u);  // nothing summed up yet
    log.log("a");
  }
  EXPECT_EQ(std::vector<std::string>(log.memo().begin(), log.memo().end()),
            (std::vector<std::string>{"a", "a", "a", "b", "b", "b", "c", "a (3 more)", "b (7 more)"}));
  // After the bound, counting starts afresh and nothing is held back.
  for (int i = 0; i < 4; ++i) log.log("a");
  EXPECT_EQ(log.memo().size(), 13u);
}

TEST(OperatorLog, ManyDifferentTextsInOneBoundAreEachCountedAndTheNextBoundStartsAfresh) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  const auto one_message = [&](int texts, int repeats) {
    const OperatorLog::RepeatBound bound(log);
    for (int r = 0; r < repeats; ++r)
      for (int t = 0; t < texts; ++t) log.log("line " + std::to_string(t));
  };
  // More texts than a linear search is used for, and more than are kept.
  one_message(100, 5);
  ASSERT_EQ(log.appended(), 100u * 3 + 100);
  const auto& memo = log.memo();
  EXPECT_EQ(memo[memo.size() - 100], "line 0 (2 more)");
  EXPECT_EQ(memo.back(), "line 99 (2 more)");
  // The entries of the last bound are reused: no count carries over.
  one_message(3, 4);
  EXPECT_EQ(log.appended(), 400u + 3 * 3 + 3);
  EXPECT_EQ(log.memo().back(), "line 2 (1 more)");
  one_message(20, 3);
  EXPECT_EQ(log.appended(), 412u + 60);
}
