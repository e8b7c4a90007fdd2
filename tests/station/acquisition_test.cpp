// The read cycle, SET_VALUE's setter and last.con, on a Station built with a
// scripted device line.
#include "device/result_codes.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_test.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

namespace orvane {
namespace {

using test::read_text;
using test::TempDir;
using test::write_text;

using ScriptedLine = test::ScriptedDeviceLine;

// A configured station reading through the scripted device line; time
// stands until the test moves it.
struct StationRig : test::StationTest {
  StationRig() : StationTest({.configured = true, .deferred = true}) { power.result = false; }
  void make() { StationTest::make(nullptr, &line); }
  long count(const std::string& text) const { return static_cast<long>(count_logged(text)); }
  std::vector<std::string> logged_since(std::size_t n) const {
    const auto& m = log.memo();
    return {m.begin() + static_cast<std::ptrdiff_t>(std::min(n, m.size())), m.end()};
  }
  // One period of the read timer: its tick starts a cycle (or is skipped
  // while one is out); the reads come in only when the loop runs.
  void read_tick() { steady.advance(std::chrono::milliseconds(station().sampling().read_timer().interval())); }
  // Runs the loop until the read cycle out on the line has been applied.
  void settle() {
    ioc.restart();
    while (station().acquisition().polling() && ioc.run_one_for(std::chrono::seconds(5))) {}
  }
  // One whole read cycle: the tick, then its reads applied.
  void cycle() {
    read_tick();
    settle();
  }
};

// Rows: T01 0..1000 enabled; T02 falling 100..0 enabled; T03 not enabled.
const char* kSensors =
    "1,T01,A,I,Y,0,1000\r\n"
    "2,T02,A,I,Y,100,0\r\n"
    "3,T03,A,I,N,0,1000\r\n";

class ReadCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    write_text(rig.dir / "module.con", "1,4017,A,1,Y\r\n2,4017,D,2,Y\r\n3,4017,A,3,N\r\n4,4017,A,G,Y\r\n");
    write_text(rig.dir / "channel.con",
               "T01,A,I,1,1,0,Y\r\n"  // row 1
               "T02,A,I,1,1,1,Y\r\n"  // row 2
               "T03,A,I,1,1,2,Y\r\n"  // row 3, row not enabled
               "XX9,A,I,1,1,3,Y\r\n"  // no row: full scale only
               "T01,A,I,1,1,8,N\r\n"  // disabled record
               "P8,A,I,1,1,8,Y\r\n"  // position 8: raw 0
               "T02,A,I,2,2,0,Y\r\n");  // module of type D
    write_text(rig.dir / "sensor.con", kSensors);
    rig.line.modules[1] = {4.0f, 4.0f, 4.0f, 10.0f, 0, 0, 0, 0};
    rig.make();
    rig->channel_table().load_channels();
    rig->channel_table().load_sensor_list();
    rig->channel_table().link_channels();
    rig->refresh_labels();
  }
  StationRig rig;
};

TEST_F(ReadCycle, ConvertsReadingsIntoPanelsAndRecords) {
  auto& s = rig.station();
  rig->channel_table().modules().pop_back();  // the module with a bad address has its own test
  rig.read_tick();
  EXPECT_EQ(s.channel_table().panel(1).value, "0");  // applied when the reads are in, not before
  rig.settle();
  EXPECT_EQ(rig.line.asked, (std::vector<int>{1}));  // D and disabled modules are not read
  EXPECT_EQ(s.channel_table().panel(1).value, "200");
  EXPECT_EQ(s.channel_table().panel(1).shown, "4");
  // The D module's channel ran after module 1's and wrote raw 0 onto row 2.
  EXPECT_EQ(s.channel_table().channels()[6].raw, 0);
  EXPECT_EQ(s.channel_table().panel(2).value, "100");
  EXPECT_EQ(s.channel_table().panel(2).shown, "0");
  // Row 3 is not enabled: boxes untouched, record updated.
  EXPECT_EQ(s.channel_table().panel(3).value, "0");
  EXPECT_EQ(s.channel_table().channels()[2].value, "200");
  EXPECT_EQ(s.channel_table().channels()[3].value, "5000");  // 10 of 0..20, full scale
  EXPECT_EQ(s.channel_table().channels()[3].table_row, -1);
  EXPECT_EQ(s.channel_table().channels()[5].raw, 0);
  EXPECT_EQ(s.channel_table().channels()[5].value, "0");
  EXPECT_EQ(s.channel_table().channels()[4].value, "0");  // disabled record never touched
}

TEST_F(ReadCycle, FailedReadsAreLoggedAndTheOldAreaIsHandedOn) {
  auto& s = rig.station();
  s.channel_table().modules().pop_back();
  rig.cycle();
  rig.line.codes[1] = rc::kTimeOut;
  s.channel_table().panel(1).value = "x";
  rig.cycle();
  EXPECT_TRUE(rig.logged("The Error Code:15\rTime Out"));
  EXPECT_EQ(s.channel_table().panel(1).value, "200");  // from what the area still held
  EXPECT_EQ(s.channel_table().module_texts({rc::kTimeOut, s.acquisition().area()}),
            (std::vector<std::string>{"4.00000", "4.00000", "4.00000", "10.00000", "0.00000", "0.00000", "0.00000",
                                      "0.00000"}));
  rig.line.codes[1] = 16;
  rig.cycle();
  EXPECT_TRUE(rig.logged("The Error Code:16\rUnknown Error"));
}

TEST_F(ReadCycle, ABadAddressEndsTheTickBeforeAnythingIsSent) {
  auto& s = rig.station();
  std::rotate(s.channel_table().modules().begin(), s.channel_table().modules().end() - 1,
              s.channel_table().modules().end());  // module 4 (address G) first
  rig.cycle();
  EXPECT_TRUE(rig.line.asked.empty());
  EXPECT_EQ(s.channel_table().panel(1).value, "0");
  EXPECT_TRUE(rig.logged("Error : 'G' is not a valid module address"));

  // After a module that was read: that module is applied, its failure
  // logged, then the tick ends with the bad address, in that order.
  std::rotate(s.channel_table().modules().begin(), s.channel_table().modules().begin() + 1,
              s.channel_table().modules().end());  // G last again
  rig.line.modules[1] = {10, 10, 10, 10, 10, 10, 10, 10};
  rig.cycle();  // the result area now holds module 1's tens
  rig.line.asked.clear();
  s.channel_table().set_panel_value(1, "0");
  rig.line.codes[1] = rc::kCommandError;
  rig.line.modules[1] = {};
  const auto before = rig.log.memo().size();
  rig.cycle();
  EXPECT_EQ(rig.line.asked, (std::vector<int>{1}));
  EXPECT_EQ(rig.logged_since(before), (std::vector<std::string>{"The Error Code:13\rCommand Error",
                                                                "Error : 'G' is not a valid module address"}));
  EXPECT_EQ(s.channel_table().panel(1).value, "500");
}

TEST_F(ReadCycle, StartReadingOpensTheLineOrStops) {
  auto& s = rig.station();
  s.channel_table().modules().pop_back();
  rig.line.open_code = rc::kPortError;
  s.start_reading();
  EXPECT_TRUE(rig.logged("OPEN_COM Error Code:2\rPort Error"));
  EXPECT_EQ(s.data_mode(), DataMode::stopped);
  EXPECT_TRUE(rig.line.asked.empty());
  rig.line.open_code = 0;
  s.start_reading();
  s.start_reading();  // reopens and reads again; the first cycle is dropped
  EXPECT_EQ(rig.line.opened, 3);
  EXPECT_EQ(rig.line.asked.size(), 2u);
  EXPECT_EQ(s.data_mode(), DataMode::reading);
  rig.settle();
  EXPECT_EQ(s.channel_table().panel(1).value, "200");
}

TEST_F(ReadCycle, OneCycleAtATimeAndNoneAppliedAfterStop) {
  auto& s = rig.station();
  s.channel_table().modules().pop_back();
  // A tick while the cycle is out on the line is skipped.
  rig.read_tick();
  rig.read_tick();
  EXPECT_EQ(rig.line.asked, (std::vector<int>{1}));
  rig.settle();
  EXPECT_EQ(s.channel_table().panel(1).value, "200");
  rig.read_tick();
  EXPECT_EQ(rig.line.asked.size(), 2u);  // the next tick reads again
  rig.settle();

  // Stopped while out: its reads change nothing, and nothing is logged.
  rig.line.modules[1][0] = 10;
  rig.line.codes[1] = rc::kTimeOut;
  const auto before = rig.log.memo().size();
  rig.read_tick();
  s.stop_data();
  EXPECT_FALSE(s.acquisition().polling());
  rig.ioc.restart();
  rig.ioc.poll();
  EXPECT_EQ(s.channel_table().panel(1).value, "200");
  EXPECT_TRUE(rig.logged_since(before).empty());

  // A station that ends mid-cycle is not called back.
  s.start_reading();  // the first read at once
  ASSERT_TRUE(s.acquisition().polling());
  rig.destroy();
  EXPECT_TRUE(rig.logged_since(before).empty());
}

TEST_F(ReadCycle, RowsBeyondThePanelsAreKeptButShowNothing) {
  auto& s = rig.station();
  s.channel_table().modules().pop_back();
  std::string sensors = kSensors;
  for (int r = 4; r <= 34; ++r) sensors += std::to_string(r) + ",R" + std::to_string(r) + ",A,I,Y,0,1000\r\n";
  write_text(rig.dir / "sensor.con", sensors);
  s.channel_table().load_sensor_list();
  ASSERT_EQ(s.channel_table().sensors().row_count(), 35);
  s.channel_table().channels().edit(0).port_id = "R33";
  s.channel_table().link_channels();
  ASSERT_EQ(s.channel_table().channels()[0].table_row, 33);
  s.refresh_labels();
  rig.cycle();
  EXPECT_EQ(s.channel_table().channels()[0].value, "200");
  s.channel_table().save_last_values();
  const auto last = read_text(rig.dir / "last.con");
  EXPECT_NE(last.find("R32,0\r\n"), std::string::npos);
  EXPECT_EQ(last.find("R33"), std::string::npos);
  s.channel_table().save_sensor_list();
  EXPECT_NE(read_text(rig.dir / "sensor.con").find("34,R34,A,I,Y,0,1000,,,,,,,,\r\n"), std::string::npos);
  EXPECT_FALSE(s.channel_table().set_value_by_hand("R33", 5));
  EXPECT_TRUE(s.channel_table().set_value_by_hand(" R32 ", 5));
  EXPECT_EQ(s.channel_table().panel(32).value, "5");
}

TEST_F(ReadCycle, ValueByHandSetsBothBoxesWithoutConversion) {
  auto& s = rig.station();
  EXPECT_TRUE(s.channel_table().set_value_by_hand("T02", -42));
  EXPECT_EQ(s.channel_table().panel(2).value, "-42");
  EXPECT_EQ(s.channel_table().panel(2).shown, "-42");
  EXPECT_FALSE(s.channel_table().set_value_by_hand("t02", 1));  // protocol matches are exact
  EXPECT_FALSE(s.channel_table().set_value_by_hand("", 1));
  EXPECT_EQ(s.channel_table().panel(2).value, "-42");
}

TEST_F(ReadCycle, MinEqualsMaxGivesZero) {
  auto& s = rig.station();
  s.channel_table().modules().pop_back();
  s.settings().raw_min = s.settings().raw_max = 5;
  rig.cycle();
  EXPECT_EQ(s.channel_table().panel(1).value, "0");
  EXPECT_EQ(s.channel_table().panel(1).shown, "4");
  EXPECT_EQ(s.channel_table().channels()[3].value, "0");
}

TEST(LastValues, SavedUpperCasedAndRestoredIntoTheirRows) {
  StationRig rig;
  write_text(rig.dir / "sensor.con", "1,temp01,A,I,Y\r\n2,,A\r\n3,T-é3,A\r\n");
  rig.make();
  auto& s = rig.station();
  s.channel_table().load_sensor_list();
  s.channel_table().panel(1).value = "200";
  s.channel_table().panel(2).value = "7";
  s.channel_table().panel(3).value = "-1";
  s.set_clock_active(true);
  rig.advance(std::chrono::minutes(1));  // the minute changes: last.con is saved
  EXPECT_EQ(read_text(rig.dir / "last.con"), "TEMP01,200\r\n,7\r\nT-é3,-1\r\n");

  // Restore: case-insensitive, first match, unknown IDs ignored, broken lines "error".
  write_text(rig.dir / "last.con",
             "TEMP01, 250 \r\n"
             "NOPE,9\r\n"
             "lonely\r\n"
             "\r\n"
             "t-é3,33\r\n" +
                 std::string(1 << 20, 'A') + ",1\r\n" + std::string("\x01\x02\xff,\x80") + "\r\n");
  s.channel_table().panel(1).shown = "4";
  s.channel_table().restore_last_values();
  EXPECT_TRUE(rig.logged("Emualtor  : load 7"));
  EXPECT_EQ(rig.count("error"), 2);
  EXPECT_EQ(s.channel_table().panel(1).value, "250");
  EXPECT_EQ(s.channel_table().panel(1).shown, "4");  // only value_N is restored
  EXPECT_EQ(s.channel_table().panel(3).value, "33");
  EXPECT_EQ(s.channel_table().panel(2).value, "7");
}

// In a fleet thousands of stations save at the same minute under one flush:
// the new file takes the name only once that flush is over (the old one is
// kept as the spare for next time), a failed flush keeps the old one and is
// logged, and a save asked for while one waits comes after it.
TEST(LastValues, WithASharedFlushTheFileIsReplacedOnlyOnceFlushed) {
  test::HeldFlush group;
  StationRig rig;
  rig.flush_group = &group;
  write_text(rig.dir / "sensor.con", "1,T01,A,I,Y\r\n");
  write_text(rig.dir / "last.con", "T01,1\r\n");
  rig.make();
  auto& s = rig.station();
  s.channel_table().load_sensor_list();
  s.set_clock_active(true);
  auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(rig.dir.path()))
      if (e.path().filename().string().starts_with("last.con")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  s.channel_table().panel(1).value = "200";
  rig.advance(std::chrono::minutes(1));
  EXPECT_EQ(read_text(rig.dir / "last.con"), "T01,1\r\n");
  ASSERT_EQ(group.files.size(), 1u);
  test::HeldFlush::end(group.files, true);
  EXPECT_EQ(read_text(rig.dir / "last.con"), "T01,200\r\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"last.con", "last.con.tmp"}));

  s.channel_table().panel(1).value = "300";
  rig.advance(std::chrono::minutes(1));
  ASSERT_EQ(group.files.size(), 1u);
  test::HeldFlush::end(group.files, false);
  EXPECT_EQ(read_text(rig.dir / "last.con"), "T01,200\r\n");
  EXPECT_TRUE(rig.logged("Error : Cannot flush file " + (rig.dir / "last.con").string()));

  s.channel_table().panel(1).value = "400";
  rig.advance(std::chrono::minutes(1));
  s.channel_table().panel(1).value = "500";
  rig.advance(std::chrono::minutes(1));
  ASSERT_EQ(group.files.size(), 1u);
  test::HeldFlush::end(group.files, true);
  EXPECT_EQ(read_text(rig.dir / "last.con"), "T01,400\r\n");
  ASSERT_EQ(group.files.size(), 1u);
  test::HeldFlush::end(group.files, true);
  EXPECT_EQ(read_text(rig.dir / "last.con"), "T01,500\r\n");
}

TEST(LastValues, MissingOrUnreadableFileLeavesValues) {
  StationRig rig;
  rig.make();
  rig->channel_table().restore_last_values();
  EXPECT_TRUE(rig.log.memo().empty());
  std::filesystem::create_directory(rig.dir / "last.con");  // exists, can't be read as a file
  rig->channel_table().restore_last_values();
  EXPECT_FALSE(rig.logged("Emualtor  : load 0"));
  ASSERT_FALSE(rig.log.memo().empty());
  EXPECT_EQ(rig.log.memo().back().rfind("Error : ", 0), 0u);
}

}  // namespace
}  // namespace orvane
