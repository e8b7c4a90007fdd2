#include "support/station_test.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::StationTest;
using orvane::test::write_text;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {
// EventSample's default: time moved on by this makes one event check.
constexpr std::chrono::milliseconds kEventCheck{1000};

const std::string kTemp350 =
    "\x01\x02"
    "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\x03\x04";
}  // namespace

TEST(EventCheck, AThresholdCrossingBecomesAnEventLineInTheBufferAndBothLogs) {
  StationTest s{StationTest::for_events()};
  s.row(1, "TEMP01", "A", "Y", {"100", "200", "300", "400"});
  s.value(1, "350");
  s->channel_table().panel(1).event_state = 4;  // level of 350 is 4: nothing yet
  s.advance(kEventCheck);
  EXPECT_EQ(s.event_sav(), "");
  EXPECT_EQ(s.uplink.connects, 0);

  std::string while_storing;
  s.uplink.on_store = [&] { while_storing = s.event_sav(); };
  s->channel_table().panel(1).event_state = 1;
  s.advance(kEventCheck);
  s.delivered();
  EXPECT_EQ(while_storing, kTemp350 + "\r\n");
  EXPECT_EQ(s.event_sav(), "");
  EXPECT_EQ(s->channel_table().panel(1).event_state, 4);
  EXPECT_THAT(s.take_lines(),
              ElementsAre("Events : Add Event to buffer 1 Events", "Send : 1 Events", "Events : Send Completed"));
  EXPECT_THAT(s.uplink.stored, ElementsAre(kTemp350));
  EXPECT_EQ(read_text(s.dir / "log" / "20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 3.5\r\n");
  EXPECT_EQ(read_text(s.dir / "log" / "U20061207.log"), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\r\n");

  s.advance(kEventCheck);  // same level: no second event
  EXPECT_EQ(s->event_path().buffer().size(), 0u);
  EXPECT_THAT(s.take_lines(), IsEmpty());
}

TEST(EventCheck, RawLogGetsThePanelTextAndTheLineKeepsTheIdentityAsItStands) {
  StationTest s{StationTest::for_events()};
  s->settings().factory_id = "F9";
  s->settings().sensor_id = "S7";
  s.uplink.up = false;
  s.row(1, " P1 ", "A", " Y ");
  s.value(1, " 12abc");
  s->settings().connect_type = ConnectType::lan;
  s.uplink.on_store = [] { throw std::runtime_error("down"); };
  s.advance(kEventCheck);
  EXPECT_EQ(s->event_path().buffer().lines().at(0),
            "\x01\x02"
            "EVENTA 200612071230 F9 F9S7  P1  IS 12\x03\x04");
  EXPECT_EQ(read_text(s.dir / "log" / "U20061207.log"), "EVENTA 200612071230 F9 F9S7 P1 IS 12abc\r\n");
  EXPECT_EQ(read_text(s.dir / "log" / "20061207.log"), "EVENTA 200612071230 F9 F9S7 P1 IS 0.1\r\n");
}

TEST(EventCheck, DigitalChannelsReportEachChangeOfValue) {
  StationTest s{StationTest::for_events()};
  s.uplink.on_store = [] { throw std::runtime_error("keep them"); };
  s.row(1, "DOOR", "D", "Y");
  std::vector<std::size_t> sizes;
  for (const char* v : {"0", "1", "1", "0"}) {
    s.value(1, v);
    s.advance(kEventCheck);
    sizes.push_back(s->event_path().buffer().size());
  }
  EXPECT_THAT(sizes, ElementsAre(0u, 1u, 1u, 2u));
  EXPECT_EQ(s->event_path().buffer().lines().at(1),
            "\x01\x02"
            "EVENTD 200612071230 F1 F1S1 DOOR IS 0\x03\x04");
}

TEST(EventCheck, OnlyRowsWithAPortIdEnabledExactlyYAreWatchedInRowOrder) {
  StationTest s{StationTest::for_events()};
  s.uplink.on_store = [] { throw std::runtime_error("keep them"); };
  s.row(1, "A1", "A", "y");
  s.row(2, "", "A", "Y");
  s.row(3, "A3", "A", "Y");
  s.row(4, "A4", "A", "Y");
  s.advance(kEventCheck);
  const auto lines = s->event_path().buffer().lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("A3 IS 0"), std::string::npos);
  EXPECT_NE(lines[1].find("A4 IS 0"), std::string::npos);
}

TEST(EventCheck, RowsBeyondThePanelsAreSkippedAndTheTickCarriesOn) {
  StationTest s{StationTest::for_events()};
  s.row(33, "FAR", "A", "Y");
  s.row(2, "NEAR", "A", "Y");
  s.advance(kEventCheck);
  s.delivered();
  EXPECT_THAT(s.uplink.stored, ElementsAre("\x01\x02"
                                           "EVENTA 200612071230 F1 F1S1 NEAR IS 0\x03\x04"));
  EXPECT_EQ(s.uplink.connects, 1);
}

TEST(EventCheck, TheLoopbackHostTracksStatesButMakesNoEventsAndNoUploads) {
  StationTest s{StationTest::for_events()};
  s->settings().host = " 127.0.0.1 ";
  s.row(1, "T", "A", "Y", {"10"});
  s.value(1, "20");
  s.advance(kEventCheck);
  EXPECT_EQ(s->channel_table().panel(1).event_state, 2);
  EXPECT_FALSE(std::filesystem::exists(s.dir / "Event.Sav"));
  EXPECT_EQ(s.uplink.connects, 0);

  s->settings().host = "10.0.0.9";
  s.advance(kEventCheck);  // the state was kept: nothing to report
  EXPECT_EQ(s.uplink.connects, 0);
}

TEST(EventCheck, PrimedStatesMakeNoEventForUnchangedValues) {
  StationTest s{StationTest::for_events()};
  s.row(1, "T", "A", "Y", {"10", "20"});
  s.row(2, "D", "D", "Y");
  s.value(1, "15");
  s.value(2, "7");
  s->channel_table().prime_event_state(1);
  s->channel_table().prime_event_state(2);
  EXPECT_EQ(s->channel_table().panel(1).event_state, 2);
  EXPECT_EQ(s->channel_table().panel(2).event_state, 7);
  s.advance(kEventCheck);
  EXPECT_EQ(s.uplink.connects, 0);
}

TEST(EventCheck, WithoutTheLogFolderTheEventIsStillBufferedAndDelivered) {
  StationTest s{StationTest::for_events(false)};
  s.row(1, "T1", "A", "Y");
  s.row(2, "T2", "A", "Y");
  s.advance(kEventCheck);
  s.delivered();
  EXPECT_EQ(s.uplink.stored.size(), 2u);
  // Each event's "Add Event" line is followed by what its two log lines met.
  const auto lines = s.take_lines();
  const auto day = "Error : Cannot open file " + (s.dir / "log" / "20061207.log").string() + ": ";
  const auto raw = "Error : Cannot open file " + (s.dir / "log" / "U20061207.log").string() + ": ";
  ASSERT_GE(lines.size(), 6u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(lines[3 * i], "Events : Add Event to buffer " + std::to_string(i + 1) + " Events");
    EXPECT_TRUE(lines[3 * i + 1].starts_with(day)) << lines[3 * i + 1];
    EXPECT_TRUE(lines[3 * i + 2].starts_with(raw)) << lines[3 * i + 2];
  }
  EXPECT_EQ(lines.back(), "Events : Send Completed");
}

// A write that the disk refuses half way (here the file size limit): the
// event is not counted, the file keeps exactly what it held, and the event
// is made again at the next check.
TEST(EventCheck, AFailedBufferWriteCountsNothingAndLosesNothing) {
  StationTest s{StationTest::for_events()};
  s.uplink.on_store = [] { throw std::runtime_error("host down"); };
  s.row(1, "T1", "A", "Y");
  s.advance(kEventCheck);
  s.delivered();
  const auto before = s.event_sav();
  ASSERT_EQ(s->event_path().buffer().size(), 1u);

  s.row(2, "T2", "A", "Y");
  auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = before.size() + 10;  // room for part of the line only
  ::setrlimit(RLIMIT_FSIZE, &limit);
  s.take_lines();
  s.advance(kEventCheck);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(s->event_path().buffer().size(), 1u);
  EXPECT_EQ(s.event_sav(), before);
  const auto lines = s.take_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front().starts_with("Error : event not buffered: ")) << lines.front();
  EXPECT_EQ(s->channel_table().panel(2).event_state, 0);

  s.advance(kEventCheck);
  s.delivered();
  EXPECT_EQ(s->event_path().buffer().size(), 2u);
  EXPECT_EQ(s.take_lines().front(), "Events : Add Event to buffer 2 Events");
}

// The events of one check share one flush and are logged after it, in row
// order with the counts they would have had one by one; when that flush
// fails none of them counts, none is logged as added, and the next check
// makes them all again.
TEST(EventCheck, TheEventsOfOneCheckShareOneFlushAndAFailedFlushCountsNoneOfThem) {
  StationTest s{StationTest::for_events()};
  int flushes = 0;
  bool fail = false;
  s->event_path().buffer().set_data_sync([&](int fd) {
    ++flushes;
    if (fail) return errno = ENOSPC, -1;
    return ::fdatasync(fd);
  });
  s.uplink.on_store = [] { throw std::runtime_error("host down"); };
  s.row(1, "T1", "A", "Y");
  s.advance(kEventCheck);
  s.delivered();
  ASSERT_EQ(s->event_path().buffer().size(), 1u);
  const auto before = s.event_sav();
  s.take_lines();

  for (int r = 2; r <= 4; ++r) s.row(r, "T" + std::to_string(r), "A", "Y");
  flushes = 0;
  fail = true;
  s.advance(kEventCheck);
  s.delivered();
  EXPECT_EQ(flushes, 2);  // the failed one, and the one after cutting the file back
  EXPECT_EQ(s->event_path().buffer().size(), 1u);
  EXPECT_EQ(s.event_sav(), before);
  auto lines = s.take_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front().starts_with("Error : event not buffered: ")) << lines.front();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("Events : Add"); }), 0);
  for (int r = 2; r <= 4; ++r) EXPECT_EQ(s->channel_table().panel(r).event_state, 0);

  flushes = 0;
  fail = false;
  s.advance(kEventCheck);
  s.delivered();
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(s->event_path().buffer().size(), 4u);
  lines = s.take_lines();
  std::vector<std::string> added;
  for (const auto& l : lines)
    if (l.starts_with("Events : Add")) added.push_back(l);
  EXPECT_THAT(added, ElementsAre("Events : Add Event to buffer 2 Events", "Events : Add Event to buffer 3 Events",
                                 "Events : Add Event to buffer 4 Events"));
  const auto day_log = read_text(s.dir / "log" / "20061207.log");
  EXPECT_EQ(std::count(day_log.begin(), day_log.end(), '\n'), 4);
}

// With a shared flush, a check due while earlier ones wait goes on from the
// states they will take, and they count in order. A failed flush drops its
// check and the later ones written after it: their events are made again,
// once each, at the next check.
TEST(EventCheck, ChecksWaitingForASharedFlushCountInOrderAndAFailureDropsTheLaterOnes) {
  test::HeldFlush group;
  auto end = [&](bool flushed) { test::HeldFlush::end(group.appends, flushed); };
  auto options = StationTest::for_events();
  options.deferred = true;
  StationTest s{options};
  s.flush_group = &group;
  s.make();
  s.uplink.up = false;
  s.row(1, "TEMP01", "A", "Y", {"100", "200", "300", "400"});
  auto state = [&] { return s->channel_table().panel(1).event_state; };
  auto count_of = [](const std::vector<std::string>& lines, const std::string& start) {
    return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.starts_with(start); });
  };

  s.value(1, "350");
  s.advance(kEventCheck);
  s.advance(kEventCheck);  // the same state is to come: no second event
  s.value(1, "150");
  s.advance(kEventCheck);
  ASSERT_EQ(group.appends.size(), 2u);
  EXPECT_EQ(s->event_path().buffer().size(), 0u);
  EXPECT_EQ(state(), 0);
  s.take_lines();
  end(false);
  end(true);
  EXPECT_EQ(s.event_sav(), "");
  EXPECT_EQ(state(), 0);
  EXPECT_EQ(count_of(s.take_lines(), "Error : event not buffered: "), 2);

  s.advance(kEventCheck);
  ASSERT_EQ(group.appends.size(), 1u);
  end(true);
  EXPECT_EQ(state(), 2);
  s.value(1, "350");
  s.advance(kEventCheck);
  s.value(1, "150");
  s.advance(kEventCheck);
  s.take_lines();
  end(true);
  end(true);
  EXPECT_EQ(state(), 2);
  const auto sav = s.event_sav();
  EXPECT_EQ(std::count(sav.begin(), sav.end(), '\n'), 3);
  EXPECT_NE(sav.find("IS 150\x03\x04\r\n"), std::string::npos);
  EXPECT_THAT(s.take_lines(), ElementsAre("Events : Add Event to buffer 2 Events", "Events : Add Event to buffer 3 Events"));
}
