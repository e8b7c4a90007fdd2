#include "station/event_log_files.hpp"
#include "support/station_test.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <thread>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::StationTest;
using ::testing::Each;
using ::testing::IsEmpty;

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

// Over many more lines than the memo shows, it keeps exactly the newest, in
// order, however its slots are reused.
TEST(OperatorLog, TheMemoShowsItsNewestLinesInOrderOverManyLines) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  for (int i = 1; i <= 1000; ++i) {
    const auto text = "line " + std::to_string(i);
    i % 3 ? log.log_copy(text) : log.log(text);
    const auto memo = log.memo();
    const int first = std::max(1, i - 200);
    ASSERT_EQ(memo.size(), static_cast<std::size_t>(i - first + 1)) << i;
    for (int k = first; k <= i; k += 50) ASSERT_EQ(memo[static_cast<std::size_t>(k - first)], "line " + std::to_string(k)) << i;
    ASSERT_EQ(memo.back(), text);
  }
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
  const std::vector<std::string> lines{line, "  \x01\x03 ", "a,b"};  // blank: nothing
  EXPECT_THAT(write_event_logs(f.dir.path(), t, lines), Each(IsEmpty()));
  EXPECT_THAT(write_raw_event_logs(f.dir.path(), t, std::vector<std::string>{line}), Each(IsEmpty()));
  EXPECT_EQ(read_text(f.dir / "log/20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 12.3\r\na 0.0\r\n");
  EXPECT_EQ(read_text(f.dir / "log/U20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\r\n");
}

TEST(EventLogFiles, MidnightSwitchesFilesAndAnOpenLastLineIsEndedOnce) {
  StationTest f{{.deferred = true}};
  f.clock.set(make_local_time(2006, 12, 31, 23, 59, 59, 990));
  orvane::test::write_text(f.dir / "log/20061231.log", "hand-edited line without end");
  write_event_logs(f.dir.path(), f.clock.now(), std::vector<std::string>{"before 100", "again 300"});
  f.clock.advance(std::chrono::milliseconds(20));
  write_event_logs(f.dir.path(), f.clock.now(), std::vector<std::string>{"after 200"});
  EXPECT_EQ(read_text(f.dir / "log/20061231.log"), "hand-edited line without end\r\nbefore 1.0\r\nagain 3.0\r\n");
  EXPECT_EQ(read_text(f.dir / "log/20070101.log"), "after 2.0\r\n");
}

TEST(EventLogFiles, EachLineTellsWhatItsWriteMet) {
  orvane::test::TempDir dir;
  const auto t = make_local_time(2006, 1, 1);
  const std::vector<std::string> lines{"x 1", " ", "y 2"};
  // No log folder: every line with something to write fails to open it, and
  // the folder is not made.
  const auto missing = write_event_logs(dir.path(), t, lines);
  ASSERT_EQ(missing.size(), 3u);
  EXPECT_TRUE(missing[0].starts_with("Cannot open file " + (dir / "log/20060101.log").string() + ": ")) << missing[0];
  EXPECT_EQ(missing[1], "");
  EXPECT_EQ(missing[2], missing[0]);
  EXPECT_FALSE(std::filesystem::exists(dir / "log"));

  // A write the disk cuts short (here the file size limit) after the first
  // line: the first line is written, the second is reported.
  std::filesystem::create_directory(dir / "log");
  auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = 12;  // "x 0.0\r\n" and part of "y 0.0\r\n"
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const auto cut = write_event_logs(dir.path(), t, lines);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_EQ(cut.size(), 3u);
  EXPECT_EQ(cut[0], "");
  EXPECT_EQ(cut[1], "");
  EXPECT_TRUE(cut[2].starts_with("Cannot write " + (dir / "log/20060101.log").string() + ": ")) << cut[2];
  // The torn line is ended before the next lines, as for any open last line.
  write_event_logs(dir.path(), t, std::vector<std::string>{"z 3"});
  EXPECT_EQ(read_text(dir / "log/20060101.log"), "x 0.0\r\ny 0.0\r\nz 0.0\r\n");
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

// Every line of a bound counts towards its text, the first ones included,
// and a nested bound counts with the outer one.
TEST(OperatorLog, TheFirstLinesOfABoundCountTowardsTheirTexts) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  const auto message = [&](std::vector<std::string> texts) {
    const auto before = log.memo().size();
    {
      const OperatorLog::RepeatBound bound(log);
      for (auto& t : texts) log.log(std::move(t));
    }
    return std::vector<std::string>(log.memo().begin() + static_cast<std::ptrdiff_t>(before), log.memo().end());
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(message({"x", "y", "x", "x", "x", "y"}), (Lines{"x", "y", "x", "x", "y", "x (1 more)"}));
  EXPECT_EQ(message({"x", "x", "x", "x"}), (Lines{"x", "x", "x", "x (1 more)"}));
  EXPECT_EQ(message({"x", "y", "z", "x", "x", "x", "y"}), (Lines{"x", "y", "z", "x", "x", "y", "x (1 more)"}));
  EXPECT_EQ(message({"x", "x"}), (Lines{"x", "x"}));
  // Nested: the inner bound's lines and the outer's are one count.
  const auto before = log.memo().size();
  {
    const OperatorLog::RepeatBound outer(log);
    log.log("x");
    log.log("x");
    {
      const OperatorLog::RepeatBound inner(log);
      log.log("x");
    }
    log.log("x");
  }
  EXPECT_EQ(Lines(log.memo().begin() + static_cast<std::ptrdiff_t>(before), log.memo().end()),
            (Lines{"x", "x", "x", "x (1 more)"}));
}

// A text logged by copy (the lines every command logs) takes the storage of
// the line leaving the full memo: the memo, its observers and the repeat
// bound see it as any other line, and mixed with moved-in lines.
TEST(OperatorLog, CopiedLinesKeepTheMemoRuleAndTheRepeatBound) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  std::vector<std::string> observed;
  log.add_observer([&](const std::string& l) { observed.push_back(l); });
  for (int i = 1; i <= 300; ++i) {
    const auto text = "line " + std::to_string(i);
    i % 2 ? log.log_copy(text) : log.log(text);
  }
  ASSERT_EQ(log.memo().size(), 201u);
  EXPECT_EQ(log.memo().front(), "line 100");
  EXPECT_EQ(log.memo()[1], "line 101");
  EXPECT_EQ(log.memo().back(), "line 300");
  std::vector<std::string> expected;
  for (int i = 100; i <= 300; ++i) expected.push_back("line " + std::to_string(i));
  EXPECT_EQ(std::vector<std::string>(log.memo().begin(), log.memo().end()), expected);
  EXPECT_EQ(std::vector<std::string>(log.memo().end() - 3, log.memo().end()),
            (std::vector<std::string>{"line 298", "line 299", "line 300"}));
  EXPECT_EQ(observed.size(), 300u);
  EXPECT_EQ(observed[298], "line 299");
  {
    const OperatorLog::RepeatBound bound(log);
    for (int i = 0; i < 5; ++i) log.log_copy("Emulator : receive Command");
    log.log("Emulator : receive Command");
  }
  EXPECT_EQ(log.memo()[log.memo().size() - 2], "Emulator : receive Command");
  EXPECT_EQ(log.memo().back(), "Emulator : receive Command (3 more)");
  EXPECT_EQ(log.appended(), 304u);
  // From another thread it is posted like any line.
  std::thread([&] { log.log_copy("from a worker"); }).join();
  EXPECT_NE(log.memo().back(), "from a worker");
  ioc.poll();
  EXPECT_EQ(log.memo().back(), "from a worker");
}

TEST(OperatorLog, ManyDifferentTextsInOneBoundAreEachCountedAndTheNextBoundStartsAfresh) {
  asio::io_context ioc;
  OperatorLog log(ioc);
  const auto one_message = [&](int texts, int repeats) {
    const OperatorLog::RepeatBound bound(log);
    for (int r = 0; r < repeats; ++r)
      for (int t = 0; t < texts; ++t) log.log("line " + std::to_string(t));
  };
  // More texts than are kept from one message to the next.
  one_message(100, 5);
  ASSERT_EQ(log.appended(), 100u * 3 + 100);
  const auto& memo = log.memo();
  EXPECT_EQ(memo[memo.size() - 100], "line 0 (2 more)");
  EXPECT_EQ(memo.back(), "line 99 (2 more)");
  // No count carries over into the next bound.
  one_message(3, 4);
  EXPECT_EQ(log.appended(), 400u + 3 * 3 + 3);
  EXPECT_EQ(log.memo().back(), "line 2 (1 more)");
  one_message(20, 3);
  EXPECT_EQ(log.appended(), 412u + 60);
}
