#include "event_station_fixture.hpp"
#include "station/event_buffer.hpp"
#include "station/event_delivery.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::RecordingUplink;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;

TEST(EventBuffer, LoadsLinesWithTheirControlCharactersAndAMissingFileIsEmpty) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  EXPECT_TRUE(buffer.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "Event.Sav"));

  write_text(dir / "Event.Sav", "\x01\x02" "a\x03\x04\r\nb\n\r\n");
  EXPECT_FALSE(buffer.load(dir / "Event.Sav").torn_last_line);
  EXPECT_THAT(buffer.lines(), ElementsAre("\x01\x02" "a\x03\x04", "b", ""));
  EXPECT_EQ(buffer.add("c"), 4u);
  EXPECT_EQ(read_text(dir / "Event.Sav"), "\x01\x02" "a\x03\x04\r\nb\n\r\nc\r\n");
}

TEST(EventBuffer, ATornLastLineIsKeptAndNextEventsStartOnTheirOwnLine) {
  TempDir dir;
  write_text(dir / "Event.Sav", "one\r\ntwo\r\nthr");
  EventBuffer buffer;
  EXPECT_TRUE(buffer.load(dir / "Event.Sav").torn_last_line);
  EXPECT_THAT(buffer.lines(), ElementsAre("one", "two", "thr"));
  buffer.add("four");
  EXPECT_EQ(read_text(dir / "Event.Sav"), "one\r\ntwo\r\nthr\r\nfour\r\n");

  orvane::test::EventStation s;
  write_text(s.dir / "Event.Sav", "x\r\ny");
  s.take_lines();
  s->load_event_buffer();
  EXPECT_THAT(s.take_lines(),
              ElementsAre("Events : Event.Sav ended inside a line (an interrupted write); the line is kept as it is"));
  EXPECT_EQ(s->events.size(), 2u);
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
  ManualClock clock;
  std::atomic<bool> online{false};
  std::vector<std::string> log;
  EventDelivery delivery(buffer, [&](std::string l) { log.push_back(l); }, clock, &uplink, nullptr, nullptr, online);
  DeliverySettings settings;
  delivery.upload_buffer(settings, false);
  EXPECT_THAT(uplink.stored, ElementsAre("e1", "e2"));
  EXPECT_THAT(buffer.lines(), ElementsAre("late1", "late2"));
  EXPECT_EQ(read_text(dir / "Event.Sav"), "late1\r\nlate2\r\n");
  EXPECT_THAT(log, ElementsAre("Send : 2 Events", "Events : Send Completed"));
}

// A backlog larger than one upload's share of the thread drains over several
// ticks, each removing exactly what it stored.
TEST(EventBuffer, AnUploadCutShortByItsBudgetRemovesWhatItStored) {
  TempDir dir;
  EventBuffer buffer;
  buffer.load(dir / "Event.Sav");
  for (const char* e : {"e1", "e2", "e3"}) buffer.add(e);
  RecordingUplink uplink;
  ManualClock clock;
  std::atomic<bool> online{false};
  std::vector<std::string> log;
  EventDelivery delivery(buffer, [&](std::string l) { log.push_back(l); }, clock, &uplink, nullptr, nullptr, online);
  delivery.set_upload_budget(std::chrono::milliseconds(-1), std::chrono::milliseconds(-1));
  DeliverySettings settings;
  delivery.upload_buffer(settings, false);
  EXPECT_THAT(buffer.lines(), ElementsAre("e2", "e3"));
  EXPECT_EQ(read_text(dir / "Event.Sav"), "e2\r\ne3\r\n");
  delivery.upload_buffer(settings, false);
  delivery.upload_buffer(settings, false);
  EXPECT_THAT(uplink.stored, ElementsAre("e1", "e2", "e3"));
  EXPECT_TRUE(buffer.empty());
  EXPECT_THAT(log, ElementsAre("Send : 3 Events", "Send : 2 Events", "Send : 1 Events", "Events : Send Completed"));
}
