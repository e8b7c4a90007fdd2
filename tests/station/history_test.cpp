#include "support/station_test.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::StationTest;
using orvane::test::write_text;

namespace {

ChannelRecord channel(const std::string& id, const std::string& type, bool enabled) {
  ChannelRecord c;
  c.port_id = id;
  c.port_type = type;
  c.enabled = enabled;
  return c;
}

// A reading station whose clock runs from `start`. The wall clock stands
// while the history samples are taken (steady time alone moves on by the
// history period), and jumps to a new time for one tick of the clock.
struct HistoryStation : StationTest {
  static constexpr std::chrono::milliseconds kHistorySample{1000};  // HistorySample's default
  static constexpr std::chrono::milliseconds kClockTick{250};

  explicit HistoryStation(LocalTime start) : StationTest(for_events()) {
    clock.set(start);
    station().set_clock_active(true);  // takes the start time
  }
  void sample(std::initializer_list<const char*> values) {
    auto v = values.begin();
    for (auto& c : station().channel_table().channels().edit_all())
      if (v != values.end()) c.value = *v++;
    advance_steady(kHistorySample);
  }
  void move_to(LocalTime t) {
    clock.set(t);
    advance_steady(kClockTick);
  }
};

}  // namespace

TEST(History, TheHourThatEndedIsWrittenWithMinMaxAndTruncatedAverage) {
  HistoryStation s(make_local_time(2006, 12, 7, 13, 59, 59, 750));
  s->channel_table().channels() = {channel("T1", "A", true), channel(" T2 ", "A", true), channel("D1", "D", true),
                                   channel("OFF", "A", false)};
  s.sample({"10", "-1", "5", "9"});
  s.sample({"50", "-2", "6", "9"});
  s.sample({"30", "x", "7", "9"});
  s.move_to(make_local_time(2006, 12, 7, 14, 0, 0, 0));
  EXPECT_EQ(read_text(s.dir / "history" / "7.his"), "200612\r\n\"13 T1 10 50 30\",\"13 T2 -2 0 -1\",\r\n");

  // No sample in the next hour: the figures of the last one are repeated.
  s.move_to(make_local_time(2006, 12, 7, 15, 0, 0, 0));
  EXPECT_EQ(read_text(s.dir / "history" / "7.his"),
            "200612\r\n\"13 T1 10 50 30\",\"13 T2 -2 0 -1\",\r\n\"14 T1 10 50 30\",\"14 T2 -2 0 -1\",\r\n");
}

TEST(History, TheLastHourOfADayGoesIntoThatDaysFileAndANewMonthRestartsTheFile) {
  HistoryStation s(make_local_time(2006, 12, 31, 23, 59, 59, 900));
  write_text(s.dir / "history" / "31.his", "200610\r\n\"5 OLD 1 1 1\",\r\n");
  s->channel_table().channels() = {channel("T1", "A", true)};
  s.sample({"1"});
  s.sample({"2"});
  s.move_to(make_local_time(2007, 1, 1, 0, 0, 0, 150));
  EXPECT_EQ(read_text(s.dir / "history" / "31.his"), "200612\r\n\"23 T1 1 2 1\",\r\n");
  EXPECT_FALSE(std::filesystem::exists(s.dir / "history" / "1.his"));

  s.sample({"4"});
  s.move_to(make_local_time(2007, 1, 1, 1, 0, 0, 100));
  EXPECT_EQ(read_text(s.dir / "history" / "1.his"), "200701\r\n\"0 T1 4 4 4\",\r\n");
}

TEST(History, NoEnabledAnalogChannelWritesNoFileAndAMissingFolderIsLogged) {
  HistoryStation s(make_local_time(2006, 12, 7, 8, 59, 59, 900));
  s->channel_table().channels() = {channel("D1", "D", true), channel("A1", "A", false)};
  s.sample({"1", "2"});
  s.move_to(make_local_time(2006, 12, 7, 9, 0, 0, 100));
  EXPECT_TRUE(std::filesystem::is_empty(s.dir / "history"));

  std::filesystem::remove(s.dir / "history");
  s->channel_table().channels() = {channel("A1", "A", true)};
  s.take_lines();
  s.move_to(make_local_time(2006, 12, 7, 10, 0, 0, 100));
  ASSERT_EQ(s.lines().size(), 1u);
  EXPECT_TRUE(s.lines()[0].starts_with("Error : ")) << s.lines()[0];
  EXPECT_FALSE(s->channel_table().channels()[0].hour_started);
}

TEST(History, ADayFileThatCantBeReadIsLeftAsItIs) {
  HistoryStation s(make_local_time(2006, 12, 7, 8, 59, 59, 900));
  s->channel_table().channels() = {channel("A1", "A", true)};
  const auto day = s.dir / "history" / "7.his";
  write_text(day, "200612\r\n\"7 A1 1 1 1\",\r\n");
  // Root reads every file: the hour change then runs as "nobody", who may
  // write in the folder but not read the day's file.
  namespace fs = std::filesystem;
  fs::permissions(s.dir.path(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(s.dir / "history", fs::perms::all);
  fs::permissions(day, fs::perms::owner_write);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::seteuid(65534), 0);
  }
  s.sample({"5"});
  s.take_lines();
  s.move_to(make_local_time(2006, 12, 7, 9, 0, 0, 100));
  if (root) {
    ASSERT_EQ(::seteuid(0), 0);
  }
  fs::permissions(day, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(read_text(day), "200612\r\n\"7 A1 1 1 1\",\r\n");
  // (last.con, saved at the same minute change, can't be written either.)
  EXPECT_THAT(s.lines(), ::testing::Contains("Error : Cannot open file " + day.string() + ": Permission denied"));
}
