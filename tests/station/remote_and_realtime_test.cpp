// DO_COMMAND, READ_HISTORY and realtime, on recording connections.
#include "support/station_test.hpp"

#include "core/limits.hpp"
#include "core/text_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include <sys/stat.h>

using namespace orvane;
using namespace orvane::test;

namespace {

struct Remote : StationTest, ::testing::Test {
  Station& st = station();
  std::string do_command(const std::string& arg) { return request({"DO_COMMAND 7 F1 S1 \"" + arg + "\""}, "h"); }
};

std::string complete(const std::string& entry) { return "\x01h\x02 Complete " + entry + " \x03\x04"; }

}  // namespace

TEST_F(Remote, ReadAndWriteStationFiles) {
  write_text(dir / "module.con", "1,4017,A,1,Y\r\n2,4017,A,2,N\r\n");
  EXPECT_EQ(visible(do_command("RCFG\x05module.con")), visible("\x01h\x02 DO_COMMAND 7 F1 S1 module.con\x05"
                                                               "1,4017,A,1,Y\x05"
                                                               "2,4017,A,2,N\x05"
                                                               "\x02 Complete 1,4017,A,1,Y \x03\x04"));
  EXPECT_EQ(visible(do_command("SCFG\x05sub\\..\\auto.con\x05"
                               "1\x05second")),
            visible(complete("1")));
  EXPECT_EQ(read_text(dir / "auto.con"), "1\r\nsecond\r\n");
  // An unreadable file adds nothing.
  EXPECT_EQ(visible(do_command("RCFG\x05missing.con")), visible(complete("RCFG")));
}

TEST_F(Remote, FileNamesStayInsideTheStationDirectory) {
  TempDir outside;
  write_text(outside / "secret", "s3cret\r\n");
  std::filesystem::create_symlink(outside.path(), dir / "link");
  const auto rel = std::filesystem::relative(outside / "secret", dir.path()).string();
  // A name of its own one level up, so nothing else in the temp folder interferes.
  const auto escaped = dir.path().filename().string() + "-escaped";
  for (const auto& name :
       {(outside / "secret").string(), rel, std::string("link/secret"), std::string("C:\\secret"), "../" + escaped}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(visible(do_command("RCFG\x05" + name)), visible(complete("RCFG")));
    EXPECT_EQ(do_command("SCFG\x05" + name + "\x05overwritten"), "");
  }
  EXPECT_EQ(read_text(outside / "secret"), "s3cret\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / escaped));
}

TEST_F(Remote, RcfgReadsOnlyRegularFilesThatFitTheConnection) {
  // Opened without blocking: a FIFO with no writer would otherwise hold the
  // station thread for good.
  ASSERT_EQ(::mkfifo((dir / "pipe.con").c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.con");
  for (const char* name : {"pipe.con", "folder.con", "."}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(visible(do_command(std::string("RCFG\x05") + name)), visible(complete("RCFG")));
  }
  write_text(dir / "ten.con", "0123456\r\n");  // 9 bytes
  conn->room = 8;
  EXPECT_EQ(visible(do_command("RCFG\x05ten.con")), visible(complete("RCFG")));
  conn->room = 9;
  EXPECT_EQ(visible(do_command("RCFG\x05ten.con")), visible("\x01h\x02 DO_COMMAND 7 F1 S1 ten.con\x05"
                                                            "0123456\x05\x02 Complete 0123456 \x03\x04"));
}

TEST_F(Remote, ScfgWritesOnlyPlainFilesInsideTheStationDirectory) {
  std::filesystem::create_directory(dir / "sub");
  ASSERT_EQ(::mkfifo((dir / "pipe.con").c_str(), 0600), 0);
  // A temporary file beside the directory would be named after it; other
  // tests come and go in the same parent, so only such names are counted.
  const auto beside = [&] {
    const auto stem = dir.path().filename().string();
    return std::ranges::count_if(std::filesystem::directory_iterator(dir.path().parent_path()), [&](const auto& e) {
      const auto name = e.path().filename().string();
      return name.starts_with(stem) &&
             (name.size() == stem.size() || !std::isdigit(static_cast<unsigned char>(name[stem.size()])));
    });
  };
  const auto beside_before = beside();
  for (const std::string name :
       {".", "./", "sub", "sub/", "sub\\.", "pipe.con", "tab\tname.con", "bell\x07.con", "del\x7f.con", ""}) {
    SCOPED_TRACE(visible(name));
    EXPECT_EQ(do_command("SCFG\x05" + name + "\x05payload"), "");
    EXPECT_NE(log.last_line().find("Error : Cannot create file"), std::string::npos) << log.last_line();
  }
  // Nothing was written, not even a temporary file beside the directory.
  EXPECT_EQ(beside(), beside_before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "sub"), {}), 0);
  // Plain names, in the directory or a folder of it, are written.
  EXPECT_EQ(visible(do_command("SCFG\x05sub\\a.con\x05payload")), visible(complete("payload")));
  EXPECT_EQ(read_text(dir / "sub" / "a.con"), "payload\r\n");
}

TEST(RemoteFiles, TheStationsOwnStateIsKeptFromHostsAndEveryEventGoesOnceInOrder) {
  StationTest s{StationTest::for_events()};
  write_text(s.dir / "lock", "");
  write_text(s.dir / ".configured", "1\r\n");
  s.private_files = {s.dir / "lock", s.dir / ".configured"};
  s.make();
  s.row(1, "TEMP01", "A", "Y", {"100", "200", "300", "400"});
  // One event delivered (Event.Head now says where the rest start), one waiting.
  s.value(1, "350");
  s->channel_table().panel(1).event_state = 1;
  s.advance(std::chrono::seconds(1));
  s.delivered();
  s.uplink.host_down = true;
  s.value(1, "50");
  s.advance(std::chrono::seconds(1));
  s.delivered();
  ASSERT_EQ(s.uplink.stored.size(), 1u);
  ASSERT_EQ(s->event_path().buffer().size(), 1u);
  std::filesystem::create_symlink(s.dir / "Event.Sav", s.dir / "alias.con");
  write_text(s.dir / "emulate.ini.tmp123456", "Password=secret\r\n");
  std::map<std::string, std::string> before;
  for (const auto& e : std::filesystem::directory_iterator(s.dir.path()))
    if (e.is_regular_file()) before[e.path().filename().string()] = read_text(e.path());

  for (const std::string name : {"Event.Sav", "Event.Head", "Event.Snd", "Event.Sav.compact", "sub/../Event.Sav",
                                 "alias.con", "emulate.ini.tmp123456", "sensor.con.tmp", "lock", ".configured"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(visible(s.request({"DO_COMMAND 1 x y \"RCFG\x05" + name + "\""}, "h")),
              visible(complete("RCFG")));
    const std::string forged = "EVENTA 200612071230 F1 F1S1 TEMP01 IS 999";
    EXPECT_EQ(s.request({"DO_COMMAND 1 x y \"SCFG\x05" + name + "\x05" + forged + "\""}, "h"), "");
    EXPECT_EQ(s.log.last_line(), "Error : Cannot create file \"" + name + "\"");
  }
  for (const auto& [name, text] : before) EXPECT_EQ(read_text(s.dir / name), text) << name;
  EXPECT_FALSE(std::filesystem::exists(s.dir / "Event.Sav.compact"));

  // The host is back: the waiting event goes once, and nothing else.
  s.uplink.host_down = false;
  s.advance(std::chrono::seconds(1));
  s.delivered();
  EXPECT_EQ(s.uplink.stored, (std::vector<std::string>{"\x01\x02"
                                                       "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\x03\x04",
                                                       "\x01\x02"
                                                       "EVENTA 200612071230 F1 F1S1 TEMP01 IS 50\x03\x04"}));
  EXPECT_TRUE(s->event_path().buffer().empty());
}

TEST_F(Remote, ScfgWithoutLinesOrDoCommandWithoutArgumentFail) {
  EXPECT_EQ(do_command("SCFG\x05"
                       "a.con"),
            "");
  EXPECT_EQ(do_command("SCFG\x05"
                       "a.con\x05"),
            "");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.con"));
  EXPECT_EQ(request({"DO_COMMAND 7 F1 S1"}), "");
  EXPECT_EQ(log.last_line(), "Error : List index out of bounds (4)");
}

TEST_F(Remote, DataModeClockAutoStartAndPower) {
  write_text(dir / "auto.con", "1\r\nkeep\r\n");
  st.set_clock_active(true);
  request({"SET_ID 1 F1 S1 T01 AI Y"});  // the sensor list changed: sampling runs
  ASSERT_TRUE(st.sampling().read_timer().enabled());
  EXPECT_EQ(visible(do_command("STR")), visible(complete("STR")));
  EXPECT_EQ(st.data_mode(), DataMode::stopped);
  EXPECT_FALSE(st.sampling().read_timer().enabled() || st.sampling().event_timer().enabled() ||
               st.sampling().history_timer().enabled());
  EXPECT_TRUE(st.clock_active());
  do_command("STH");
  EXPECT_FALSE(st.clock_active());
  do_command("ENB");
  EXPECT_TRUE(st.clock_active());
  EXPECT_EQ(read_lines(dir / "auto.con"), (std::vector<std::string>{"1", "keep"}));
  do_command("DIS");
  EXPECT_FALSE(st.clock_active());
  EXPECT_EQ(read_lines(dir / "auto.con"), (std::vector<std::string>{"0", "keep"}));
  std::filesystem::remove(dir / "auto.con");
  do_command("ENB");
  EXPECT_FALSE(std::filesystem::exists(dir / "auto.con"));
  EXPECT_EQ(visible(do_command("RCD")), visible(complete("RCD" + dir.path().string())));
  EXPECT_EQ(visible(do_command("RBT")), visible(complete("RBT")));
  EXPECT_EQ(visible(do_command("SHD")), visible(complete("SHD")));
  EXPECT_EQ(power.requests, (std::vector<PowerAction>{PowerAction::reboot, PowerAction::power_off}));
  EXPECT_EQ(visible(do_command("NOPE\x05x")), visible(complete("NOPE")));
}

TEST_F(Remote, ChtEmptiesTheHistoryFiles) {
  write_text(dir / "history" / "1.his", "200612\r\n");
  write_text(dir / "history" / "31.his", "200612\r\n");
  write_text(dir / "history" / "32.his", "keep");
  do_command("CHT");
  EXPECT_EQ(read_text(dir / "history" / "1.his"), "");
  EXPECT_EQ(read_text(dir / "history" / "31.his"), "");
  EXPECT_EQ(read_text(dir / "history" / "32.his"), "keep");
}

TEST_F(Remote, DoCommandSuppressesTheLogPairFromItsLineOn) {
  request({"READ_DATA 1 F1 S1", "DO_COMMAND 1 x y STR", "READ_DATA 1 F1 S1"});
  EXPECT_EQ(count_logged("Emulator : receive Command"), 1u);
}

TEST_F(Remote, ReadHistoryRecordsAndSerialNumber) {
  write_text(dir / "history" / "5.his", "200301\r\n\"0 T1 1 5 3\",\"0 T2 0 4 2\",\r\n\"1 T1 2 2 2\",\r\n");
  EXPECT_EQ(visible(request({"READ_HISTORY 9 F1 S1 5"}, "h")),
            visible("\x01h\x02 READ_HISTORY 9 F1 S1 5\r\n"
                    "20030105 0 T1 1 5 3\r\n20030105 0 T2 0 4 2\r\n20030105 1 T1 2 2 2\r\n\x03\x04"));
  // Without a month line the current month is used and the first line is data.
  write_text(dir / "history" / "6.his", "\"3 T1 1 1 1\",\r\n");
  EXPECT_EQ(visible(request({"READ_HISTORY 9 F1 S1 6"}, "h")),
            visible("\x01h\x02 READ_HISTORY 9 F1 S1 6\r\n20061206 3 T1 1 1 1\r\n\x03\x04"));
  EXPECT_EQ(visible(request({"READ_HISTORY 9 F1 S1 7"}, "h")), visible("\x01h\x02 READ_HISTORY 9 F1 S1 7\r\n\x03\x04"));
  EXPECT_EQ(visible(request({"READ_HISTORY 9 F1 S1 -1"}, "h")), visible("\x01h\x02 READ_SN 9 F1 S1 SN IS \x03\x04"));
  EXPECT_TRUE(logged("Emulator :Read History"));
}

namespace {

struct RealtimeReports : StationTest, ::testing::Test {
  Station& st = station();
  // Steady time moves on by one period of the realtime timer: one tick. The
  // wall clock stands, so every line of a test carries the same stamp.
  void next_tick() { advance_steady(st.realtime().period()); }
  RealtimeReports() {
    add_channel("T01", "A", true, "11");
    add_channel("T02", "A", false, "22");
    add_channel("D03", "D", true, "1");
  }
  std::string batch(const std::string& fac = "F1", const std::string& sen = "S1") {
    return "\x02RT 200612071230 " + fac + " " + fac + sen + " T01 IS 11 \x03" + "\x02RT 200612071230 " + fac + " " +
           fac + sen + " D03 IS 1 \x03";
  }
  std::string end_ack(const std::string& fac = "F1", const std::string& sen = "S1") {
    return "\x02"
           "ACK 200612071230 " +
           fac + " " + sen + " \x03\x04";
  }
};

}  // namespace

TEST_F(RealtimeReports, DurationZeroGetsOneBatchAndTheEndAtOnce) {
  EXPECT_EQ(visible(request({"BEGIN_REALTIME 1 F1 S1 5 0"}, "h")), visible("\x01h" + batch() + end_ack()));
  EXPECT_TRUE(st.realtime().subscribers().empty());
  EXPECT_TRUE(st.realtime().running());
  next_tick();  // the next tick finds nobody and stops
  EXPECT_FALSE(st.realtime().running());
  EXPECT_TRUE(logged("12:30:00 End Loop RealTime"));
}

TEST_F(RealtimeReports, BatchesCountDownToCeilOfDurationOverPeriod) {
  EXPECT_EQ(visible(request({"BEGIN_REALTIME 1 F1 F1S1 2 5"}, "h")), visible("\x01h" + batch("F1", "F1S1")));
  EXPECT_EQ(st.realtime().period().count(), 2000);
  next_tick();
  EXPECT_EQ(visible(conn->take()), visible(batch("F1", "F1S1")));
  next_tick();
  EXPECT_EQ(visible(conn->take()), visible(batch("F1", "F1S1") + end_ack("F1", "F1S1")));  // 3 batches = ceil(5/2)
  EXPECT_TRUE(logged("12:30:00 sendrealtime"));
}

TEST_F(RealtimeReports, ANewSubscriptionNeverChangesAnother) {
  auto other = std::make_shared<FakeConnection>("10.0.0.2");
  request({"BEGIN_REALTIME 1 F1 S1 10 100"});
  const auto second = request({"BEGIN_REALTIME 1 F1 F1S1 1 3"}, "h", other);
  // The newcomer gets its batch, with the latest identifiers; the first
  // subscriber gets nothing extra and keeps its 90 s.
  EXPECT_EQ(visible(second), visible("\x01h" + batch("F1", "F1S1")));
  EXPECT_EQ(conn->take(), "");
  EXPECT_EQ(st.realtime().period().count(), 1000);
  EXPECT_EQ(st.sampling().read_timer().interval(), 1000);
  ASSERT_EQ(st.realtime().subscribers().size(), 2u);
  EXPECT_EQ(st.realtime().subscribers()[0].remaining_s, 90);
  next_tick();
  next_tick();
  EXPECT_EQ(visible(other->take()), visible(batch("F1", "F1S1") + batch("F1", "F1S1") + end_ack("F1", "F1S1")));
  // Its next batch still comes 10 s after its first.
  int elapsed_s = 2;
  for (int ticks = 0; conn->sent.empty() && ticks < 20; ++ticks) {
    elapsed_s += st.realtime().period().count() / 1000;
    next_tick();
  }
  EXPECT_EQ(elapsed_s, 10);
  EXPECT_EQ(visible(conn->take()), visible(batch("F1", "F1S1")));
  EXPECT_EQ(st.realtime().subscribers()[0].remaining_s, 80);
  // Once alone again, the timer goes back to its period.
  EXPECT_EQ(st.realtime().period().count(), 10000);
}

TEST_F(RealtimeReports, EachSubscriptionKeepsItsOwnPeriodAndEnd) {
  auto b = std::make_shared<FakeConnection>("10.0.0.2");
  request({"BEGIN_REALTIME 1 F1 S1 2 6"});  // batches at 0, 2, 4 s
  request({"BEGIN_REALTIME 1 F1 S1 3 6"}, "h", b);  // batches at 0, 3 s
  EXPECT_EQ(st.realtime().period().count(), 1000);
  std::vector<std::string> a_got, b_got;
  for (int s = 1; s <= 6; ++s) {
    next_tick();
    a_got.push_back(conn->take());
    b_got.push_back(b->take());
  }
  conn->take();
  const std::vector<std::string> a_want{"", batch(), "", batch() + end_ack(), "", ""};
  const std::vector<std::string> b_want{"", "", batch() + end_ack(), "", "", ""};
  for (std::size_t i = 0; i < a_want.size(); ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(visible(a_got[i]), visible(a_want[i]));
    EXPECT_EQ(visible(b_got[i]), visible(b_want[i]));
  }
  EXPECT_TRUE(st.realtime().subscribers().empty());
  EXPECT_FALSE(st.realtime().running());
}

TEST_F(RealtimeReports, ABadRequestLeavesTheRunningSubscriptionsAlone) {
  request({"BEGIN_REALTIME 1 F1 S1 1 60"});
  EXPECT_EQ(request({"BEGIN_REALTIME 1 F1 S1 x 5"}), "");
  EXPECT_TRUE(st.realtime().running());
  EXPECT_EQ(st.realtime().subscribers().size(), 1u);
}

TEST_F(RealtimeReports, EndRealtimeEndsItsConnectionsOwnSubscriptionElseOneOfItsHost) {
  auto stranger = std::make_shared<FakeConnection>("10.9.9.9");
  request({"BEGIN_REALTIME 1 F1 S1 1 60"});
  EXPECT_EQ(request({"END_REALTIME 1 F1 S1"}, "h", stranger), "");
  EXPECT_EQ(log.memo()[log.memo().size() - 3], "num end realtime : 1");
  // A second process of the same host ends its own subscription; the
  // first one's runs on.
  auto second = std::make_shared<FakeConnection>("10.0.0.1");
  request({"BEGIN_REALTIME 1 F1 S1 1 60"}, "h", second);
  EXPECT_EQ(visible(request({"END_REALTIME 1 F1 S1"}, "h", second)), visible(end_ack()));
  ASSERT_EQ(st.realtime().subscribers().size(), 1u);
  EXPECT_EQ(st.realtime().subscribers()[0].connection, conn);
  next_tick();
  EXPECT_EQ(visible(conn->take()), visible(batch()));
  // A connection of the host without a subscription ends the host's first:
  // its long reply gets its end where it goes.
  auto asking = std::make_shared<FakeConnection>("10.0.0.1");
  EXPECT_EQ(request({"END_REALTIME 1 F1 S1"}, "h", asking), "");
  EXPECT_EQ(visible(conn->take()), visible(end_ack()));
  EXPECT_TRUE(logged("end by command 10.0.0.1"));
  EXPECT_TRUE(st.realtime().subscribers().empty());
}

TEST_F(RealtimeReports, AFailedSendEndsOnlyThatSubscription) {
  auto other = std::make_shared<FakeConnection>("10.0.0.1");  // another connection of the same host
  request({"BEGIN_REALTIME 1 F1 S1 1 2"});
  request({"BEGIN_REALTIME 1 F1 S1 1 2"}, "h", other);
  conn->close();  // the host went away
  other->take();
  next_tick();
  EXPECT_TRUE(logged("Error : Cannot Connect socket or socket close!"));
  EXPECT_TRUE(logged("Emulator : Program Cancel send realtime"));
  // The other subscription runs to its end acknowledgement.
  EXPECT_EQ(visible(other->take()), visible(batch() + end_ack()));
  EXPECT_TRUE(st.realtime().subscribers().empty());
  EXPECT_TRUE(st.realtime().running());
  next_tick();
  EXPECT_FALSE(st.realtime().running());
  // The last subscriber failing stops the timer at once.
  request({"BEGIN_REALTIME 1 F1 S1 1 60"}, "h", other);
  other->close();
  next_tick();
  EXPECT_EQ(log.last_line(), "Emulator : Program Cancel send realtime");
  EXPECT_FALSE(st.realtime().running());
}

TEST_F(RealtimeReports, BadNumbersFailBeforeSubscribingAndTinyPeriodsAreOneSecond) {
  EXPECT_EQ(request({"BEGIN_REALTIME 1 F1 S1 x 5"}), "");
  EXPECT_EQ(request({"BEGIN_REALTIME 1 F1 S1 5 y"}), "");
  EXPECT_TRUE(st.realtime().subscribers().empty());
  EXPECT_FALSE(st.realtime().running());
  request({"BEGIN_REALTIME 1 F1 S1 0 3"});
  EXPECT_EQ(st.realtime().period().count(), 1000);
  ASSERT_EQ(st.realtime().subscribers().size(), 1u);
  EXPECT_EQ(st.realtime().subscribers()[0].remaining_s, 2);
  // A period past what the timer's milliseconds hold is refused; the
  // longest they do hold is taken.
  request({"END_REALTIME 1 F1 S1"});
  EXPECT_EQ(request({"BEGIN_REALTIME 1 F1 S1 2147484 3"}), "");
  EXPECT_TRUE(st.realtime().subscribers().empty());
  EXPECT_EQ(visible(request({"BEGIN_REALTIME 1 F1 S1 2147483 4294966"}, "h")), visible("\x01h" + batch()));
  ASSERT_EQ(st.realtime().subscribers().size(), 1u);
  EXPECT_EQ(st.realtime().subscribers()[0].period_s, 2147483);
  EXPECT_GE(st.sampling().read_timer().interval(), 1);
}

// A host can't make the station serve subscriptions without end: a
// connection holds a few, the station some more, and those refused fail
// as a bad request does, leaving the others running.
TEST_F(RealtimeReports, SubscriptionsPerConnectionAndInAllAreBounded) {
  std::vector<std::string> lines(limits::kMaxRealtimePerConnection + 1, "BEGIN_REALTIME 1 F1 S1 1 60");
  request(lines);
  EXPECT_EQ(st.realtime().subscribers().size(), limits::kMaxRealtimePerConnection);
  EXPECT_TRUE(logged("Error : realtime: " + std::to_string(limits::kMaxRealtimePerConnection) +
                     " subscriptions on this connection already"));
  std::vector<std::shared_ptr<FakeConnection>> hosts;
  while (st.realtime().subscribers().size() < limits::kMaxRealtimeSubscribers) {
    hosts.push_back(std::make_shared<FakeConnection>("10.0.1." + std::to_string(hosts.size())));
    request({"BEGIN_REALTIME 1 F1 S1 1 60"}, "h", hosts.back());
  }
  auto late = std::make_shared<FakeConnection>("10.0.2.1");
  EXPECT_EQ(request({"BEGIN_REALTIME 1 F1 S1 1 60"}, "h", late), "");
  EXPECT_EQ(st.realtime().subscribers().size(), limits::kMaxRealtimeSubscribers);
  next_tick();
  EXPECT_EQ(visible(late->take()), "");
  EXPECT_EQ(visible(hosts.back()->take()), visible(batch()));
}
