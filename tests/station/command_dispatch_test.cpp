// The dispatcher and the handlers, bytes in and bytes out, on a recording
// connection.
#include "support/station_test.hpp"

#include "core/text_file.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

namespace {

struct Dispatch : StationTest, ::testing::Test {
  Station& st = station();
};

}  // namespace

TEST_F(Dispatch, ReadDataListsEveryChannelWithExactBytes) {
  add_channel(" T01", "A ", true, "200 ");
  add_channel("D02", "D", false, "1");
  EXPECT_EQ(visible(request({"READ_DATA 200612071200 F1 S1"}, "hdr")),
            visible("\x01hdr"
                    "\x02 EVENTA 200612071230 F1 F1S1 T01 IS 200 \x03"
                    "\x02 EVENTD 200612071230 F1 F1S1 D02 IS 1 \x03"
                    "\x04"));
  st.channel_table().channels().clear();
  EXPECT_EQ(request({"READ_DATA 1 F1 S1"}, ""), "\x01\x04");
}

// Replies are built again only when something they show has changed: each
// change shows in the very next reply.
TEST_F(Dispatch, ReadDataShowsEveryChangeInTheNextReply) {
  add_channel("T01", "A", true, "200");
  add_channel("T02", "A", true, "7");
  const auto ask = [&](const std::string& items = "F1 S1") { return request({"READ_DATA 1 " + items}, "h"); };
  const auto line = [](const std::string& stamp, const std::string& id, const std::string& value,
                       const std::string& who = "F1 F1S1") {
    return "\x02 EVENTA " + stamp + " " + who + " " + id + " IS " + value + " \x03";
  };
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T02", "7") + "\x04");
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T02", "7") + "\x04");
  // Another header, other identity items, then the first ones again.
  EXPECT_EQ(request({"READ_DATA 1 F1 S1"}, "hh"),
            "\x01hh" + line("200612071230", "T01", "200") + line("200612071230", "T02", "7") + "\x04");
  EXPECT_EQ(ask("F1 F1S1"), "\x01h" + line("200612071230", "T01", "200", "F1 F1F1S1") +
                                line("200612071230", "T02", "7", "F1 F1F1S1") + "\x04");
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T02", "7") + "\x04");
  clock.advance(std::chrono::seconds(59));  // the same minute
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T02", "7") + "\x04");
  st.channel_table().channels().edit(1).value = "70";  // a longer value, the same bytes before it
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T02", "70") + "\x04");
  st.channel_table().channels().edit(1).value = "7";
  st.channel_table().channels().edit(1).port_id = "T027";  // the same bytes moved from one field to the next
  st.channel_table().channels().edit(1).value = "";
  EXPECT_EQ(ask(), "\x01h" + line("200612071230", "T01", "200") + line("200612071230", "T027", "") + "\x04");
  clock.advance(std::chrono::minutes(1));
  EXPECT_EQ(ask(), "\x01h" + line("200612071231", "T01", "200") + line("200612071231", "T027", "") + "\x04");
  st.channel_table().channels().pop_back();
  EXPECT_EQ(ask(), "\x01h" + line("200612071231", "T01", "200") + "\x04");
  // Another station of the same thread answers with its own channels.
  StationTest other;
  other.add_channel("X9", "A", true, "1");
  EXPECT_EQ(other.request({"READ_DATA 1 F1 S1"}, "h"), "\x01h" + line("200612071230", "X9", "1") + "\x04");
  EXPECT_EQ(ask(), "\x01h" + line("200612071231", "T01", "200") + "\x04");
}

TEST_F(Dispatch, AddressingRules) {
  // Factory and sensor, or both written together as item 3.
  EXPECT_FALSE(request({"READ_DATA 1 F1 S1"}).empty());
  EXPECT_FALSE(request({"READ_DATA 1 F1 F1S1"}).empty());
  st.settings().factory_id = " F1 ";  // the identity is compared trimmed
  EXPECT_FALSE(request({"READ_DATA 1 F1 S1"}).empty());
  // READ_CONFIG answers a wildcard factory; READ_DATA doesn't.
  EXPECT_FALSE(request({"READ_CONFIG 1 * anything"}).empty());
  EXPECT_TRUE(conn->is_open());
  EXPECT_TRUE(request({"READ_DATA 1 * S1"}).empty());
  EXPECT_TRUE(logged("problem command"));
  EXPECT_FALSE(conn->is_open());
}

TEST_F(Dispatch, ProblemCommandClosesButTheRestOfTheMessageRuns) {
  request({"READ_DATA 1 F2 S1", "SET_ID 1 F1 S1 T01 AI Y"});
  EXPECT_TRUE(logged("problem command"));
  EXPECT_EQ(st.channel_table().sensors().cell(1, col::kPortId), "T01");
  // The ACK found the connection closed.
  EXPECT_TRUE(logged("Error : Cannot Connect socket or socket close!"));
  EXPECT_TRUE(logged("Emulator : Answer Ack"));
}

TEST_F(Dispatch, CommandWordsAreCaseSensitiveAndStillLogged) {
  EXPECT_EQ(request({"read_data 1 F1 S1"}), "");
  EXPECT_EQ(count_logged("Emulator : receive Command"), 1u);
  EXPECT_EQ(count_logged("Emulator : do command "), 1u);
  EXPECT_EQ(request({}, "only a header"), "");
  EXPECT_EQ(count_logged("Emulator : receive Command"), 1u);
}

TEST_F(Dispatch, TwoSetIdLinesReplaceTheListWithOneAck) {
  st.channel_table().sensors().cell(1, col::kPortId) = "OLD";
  st.channel_table().sensors().add_row();
  st.channel_table().sensors().cell(2, col::kPortId) = "OLD2";
  const auto reply = request({"SET_ID r1 F1 S1 T01 AI Y 0 100 10 20", "SET_ID r2 F1 F1S1 \"Tank 1\" DO N"}, "h");
  EXPECT_EQ(visible(reply), visible("\x01h\x02"
                                    "ACK 200612071230 F1 S1\x03 \x04"));
  ASSERT_EQ(st.channel_table().sensors().row_count(), 3);
  const auto& r1 = st.channel_table().sensors().row(1);
  EXPECT_EQ(r1[1], "T01");
  EXPECT_EQ(r1[2], "A");
  EXPECT_EQ(r1[3], "I");
  EXPECT_EQ(r1[4], "Y");
  EXPECT_EQ(r1[5], "0");
  EXPECT_EQ(r1[8], "20");
  EXPECT_EQ(st.channel_table().sensors().cell(2, 1), "Tank 1");
  EXPECT_EQ(st.channel_table().sensors().cell(2, 3), "O");
  EXPECT_EQ(st.channel_table().panel(1).label, "T01");
  EXPECT_EQ(st.channel_table().panel(2).label, "Tank ");
  EXPECT_EQ(read_lines(dir / "sensor.con"),
            (std::vector<std::string>{",T01,A,I,Y,0,100,10,20,,,,,,", ",\"Tank 1\",D,O,N,,,,,,,,,,"}));
  EXPECT_EQ(count_logged("Emulator : Answer Ack"), 1u);

  // Each message's first SET_ID starts the list afresh.
  request({"SET_ID r3 F1 S1 T03 AI Y"});
  ASSERT_EQ(st.channel_table().sensors().row_count(), 2);
  EXPECT_EQ(st.channel_table().sensors().cell(1, 1), "T03");
}

TEST_F(Dispatch, SetIdLinksChannelsAndAShortLineLeavesNoHalfRow) {
  add_channel("T02", "A", true, "5");
  request({"SET_ID 1 F1 S1 T01 AI Y", "SET_ID 1 F1 S1 T02 AI Y", "SET_ID 1 F1 S1 T03"});
  EXPECT_TRUE(logged("Error : Set ID Error!"));
  EXPECT_EQ(st.channel_table().sensors().row_count(), 3);
  EXPECT_EQ(st.channel_table().channels()[0].table_row, 2);
}

TEST_F(Dispatch, DeleteIdRemovesTheRowOrClearsTheLastOne) {
  add_channel("T02", "A", true, "5");
  request({"SET_ID 1 F1 S1 T01 AI Y", "SET_ID 1 F1 S1 T02 AI Y"});
  ASSERT_EQ(st.channel_table().channels()[0].table_row, 2);
  EXPECT_EQ(visible(request({"DELETE_ID 9 F1 S1 T01"})), visible("\x01H\x02"
                                                                 "ACK 200612071230 F1 S1\x03 \x04"));
  EXPECT_EQ(st.channel_table().sensors().row_count(), 2);
  EXPECT_EQ(st.channel_table().sensors().cell(1, 1), "T02");
  EXPECT_EQ(st.channel_table().channels()[0].table_row, 1);  // followed its row up
  request({"DELETE_ID 9 F1 S1 T02"});
  EXPECT_EQ(st.channel_table().sensors().row_count(), 2);
  EXPECT_EQ(st.channel_table().sensors().cell(1, 1), "");
  EXPECT_EQ(read_lines(dir / "sensor.con"), (std::vector<std::string>{",,,,,,,,,,,,,,"}));
  request({"DELETE_ID 9 F1 S1"});
  EXPECT_TRUE(logged("Error : Delete ID Error!"));
}

TEST_F(Dispatch, ReadConfigReportsIdentitySettingsAndSensors) {
  st.settings().telephone = "555123";
  EXPECT_EQ(visible(request({"READ_CONFIG 77 * x"}, "h")),
            visible("\x01h\x02READ_CONFIG 77 F1 S1 555123 1000 1000 \x03\x04"));
  request({"SET_ID 1 F1 S1 T01 AI Y 0 100 10 \"\" 30", "SET_ID 1 F1 S1 T02 DI N"});
  // The history interval comes before the event interval.
  st.settings().history_sample.text = "2500";
  st.settings().event_sample.text = "700";
  EXPECT_EQ(visible(request({"READ_CONFIG 77 F1 S1"}, "h")),
            visible("\x01h\x02READ_CONFIG 77 F1 S1 555123 2500 700 \x03"
                    "\x02READ_ID 77 F1 F1S1 T01 AI Y 0 100 10  \x03"
                    "\x02READ_ID 77 F1 F1S1 T02 DI N  \x03\x04"));
}

TEST_F(Dispatch, SetValueSetsTheBoxesAndAlwaysReplies) {
  request({"SET_ID 1 F1 S1 T01 AI Y"});
  EXPECT_EQ(visible(request({"SET_VALUE 5 F1 S1 T01 42.7"}, "h")),
            visible("\x01h\x02"
                    "EVENT 200612071230 F1 S1 T01  IS 42.7\x03\x04"));
  EXPECT_EQ(st.channel_table().panel(1).value, "42");
  EXPECT_EQ(st.channel_table().panel(1).shown, "42");
  EXPECT_EQ(visible(request({"SET_VALUE 5 F1 S1 NOPE x"}, "")), visible("\x01\x02"
                                                                        "EVENT 200612071230 F1 S1 NOPE  IS x\x03\x04"));
  request({"SET_VALUE 5 F1 S1 T01 abc"});
  EXPECT_EQ(st.channel_table().panel(1).value, "0");
}

TEST_F(Dispatch, SetConfigWritesSettingsStartsTheStationAndEmptiesHistory) {
  write_text(dir / "emulate.ini", "[Connection]\r\nHost=1.2.3.4\r\nClientPort=5000\r\n");
  write_text(dir / "history" / "3.his", "200612\r\n\"1 T1 1 2 3\",\r\n");
  const auto reply = request({"SET_CONFIG 1 F9 S9 777 10.0.0.9 500 2000"}, "h");
  EXPECT_EQ(visible(reply), visible("\x01h\x02"
                                    "ACK 200612071230 F9 S9\x03 \x04"));
  const auto ini = load_profile(dir / "emulate.ini");
  EXPECT_EQ(ini.get_string("Config", "FactoryID", ""), "F9");
  EXPECT_EQ(ini.get_string("Config", "SensorID", ""), "S9");
  EXPECT_EQ(ini.get_string("Config", "Telphone", ""), "777");
  EXPECT_EQ(ini.get_string("Connection", "Host", ""), "10.0.0.9");
  EXPECT_EQ(ini.get_string("Config", "HistorySample", ""), "500");
  EXPECT_EQ(ini.get_string("Config", "EventSample", ""), "2000");
  EXPECT_EQ(read_text(dir / "emulate.ini").find("HOST"), std::string::npos);  // the existing key was reused
  EXPECT_EQ(st.settings().factory_id, "F9");
  EXPECT_EQ(st.settings().host, "10.0.0.9");
  EXPECT_EQ(st.sampling().history_timer().interval(), 500);
  EXPECT_EQ(st.sampling().event_timer().interval(), 2000);
  EXPECT_TRUE(flag.value);
  EXPECT_TRUE(st.clock_active());
  EXPECT_EQ(read_text(dir / "history" / "3.his"), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "history" / "4.his"));
  // The new identity addresses the station from now on.
  EXPECT_TRUE(request({"READ_DATA 1 F1 S1"}).empty());
}

TEST_F(Dispatch, ReplacedFilesKeepTheirModeAndANewSettingsFileIsPrivate) {
  namespace fs = std::filesystem;
  const auto mode = [&](const char* name) { return fs::status(dir / name).permissions(); };
  write_text(dir / "emulate.ini", "[Connection]\r\nPassword=secret\r\n");
  fs::permissions(dir / "emulate.ini", fs::perms::owner_read | fs::perms::owner_write);
  write_text(dir / "sensor.con", "");
  fs::permissions(dir / "sensor.con", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  request({"SET_CONFIG 1 F1 S1 555 10.0.0.9 1000 1000", "SET_ID 1 F1 S1 T01 AI Y"});
  EXPECT_NE(read_text(dir / "emulate.ini").find("Password=secret"), std::string::npos);
  EXPECT_NE(read_text(dir / "emulate.ini").find("HOST=10.0.0.9"), std::string::npos);
  EXPECT_EQ(mode("emulate.ini"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode("sensor.con"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // A settings file made new, by SET_CONFIG or by SCFG, is its owner's only.
  fs::remove(dir / "emulate.ini");
  request({"SET_CONFIG 1 F1 S1 555 10.0.0.9 1000 1000"});
  EXPECT_EQ(mode("emulate.ini"), fs::perms::owner_read | fs::perms::owner_write);
  fs::remove(dir / "emulate.ini");
  request({"DO_COMMAND 1 F1 S1 \"SCFG\x05" "emulate.ini\x05[Connection]\x05Password=other\""});
  EXPECT_EQ(mode("emulate.ini"), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Dispatch, SetConfigFailureGoesToTheHookAndStillAcks) {
  std::vector<std::string> shown;
  st.set_operator_alert([&](const std::string& t) { shown.push_back(t); });
  EXPECT_FALSE(request({"SET_CONFIG 1 F9 S9"}).empty());
  EXPECT_EQ(shown, std::vector<std::string>{"Set Config Error!"});
  EXPECT_FALSE(flag.value);
  st.set_operator_alert(nullptr);
  request({"SET_CONFIG 1"});
  EXPECT_TRUE(logged("Set Config Error!"));
}

TEST_F(Dispatch, HandlerFailureAbandonsTheRestOfTheMessage) {
  add_channel("T01", "A", true, "1");
  const auto before = log.memo().size();
  EXPECT_EQ(request({"READ_HISTORY 1 F1 S1 abc", "READ_DATA 1 F1 S1", "SET_ID 1 F1 S1 T01 AI Y"}), "");
  EXPECT_EQ(log.memo().size(), before + 1);
  EXPECT_EQ(log.last_line(), "Error : 'abc' is not a valid integer value");
  EXPECT_EQ(st.channel_table().sensors().cell(1, 1), "");
  // The next message is served.
  EXPECT_FALSE(request({"READ_DATA 1 F1 S1"}).empty());
}

TEST_F(Dispatch, AHostCantWriteLinesOfItsOwnIntoTheLog) {
  // Items quoted with line breaks end up in the failure's log text.
  const std::string forged = "\r\nEvents : Send Completed\r\n";
  EXPECT_EQ(request({"READ_HISTORY 1 F1 S1 \"5" + forged + "\""}), "");
  EXPECT_EQ(log.last_line(), "Error : '5\\r\\nEvents : Send Completed' is not a valid integer value");
  EXPECT_EQ(request({"DO_COMMAND 1 F1 S1 \"SCFG\x05x" + forged + "\x05line\""}), "");
  EXPECT_EQ(log.last_line(), "Error : Cannot create file \"x\\r\\nEvents : Send Completed\\r\\n\"");
  for (const auto& line : lines()) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << visible(line);
}

TEST_F(Dispatch, RepeatedLogLinesOfOneMessageAreBounded) {
  // A message of STX bytes: as many blank lines.
  constexpr int kBlankLines = 100000;
  auto before = log.appended();
  Framer framer;
  framer.feed(
      "\x01h" + std::string(kBlankLines, '\x02') + "\x04",
      [&](std::span<const std::string_view> l) { hand_over(l, conn); }, [] {});
  EXPECT_EQ(log.appended() - before, 8u);
  const std::vector<std::string> tail(log.memo().end() - 8, log.memo().end());
  EXPECT_EQ(tail[6], "Emulator : receive Command (" + std::to_string(kBlankLines - 3) + " more)");
  EXPECT_EQ(tail[7], "Emulator : do command  (" + std::to_string(kBlankLines - 3) + " more)");

  // Unaddressed lines: "problem command" a few times, then the count.
  before = log.appended();
  request(std::vector<std::string>(1000, "READ_DATA 1 F9 S9"));
  EXPECT_EQ(log.appended() - before, 12u);
  EXPECT_EQ(count_logged("problem command"), 3u);
  EXPECT_TRUE(logged("problem command (997 more)"));

  // A message of two lines logs as it always has.
  before = log.appended();
  request({"READ_DATA 1 F1 S1", "READ_DATA 1 F1 S1"}, "h", std::make_shared<FakeConnection>());
  EXPECT_EQ(log.appended() - before, 4u);
  EXPECT_EQ(log.last_line(), "Emulator : do command ");
}

// Lines are split once and kept with their items while hosts send the same
// line again: every line is still taken for its own items, in one message or
// the next, after a long line too.
TEST_F(Dispatch, EveryLineIsTakenForItsOwnItemsWhateverCameBefore) {
  request({"SET_ID 1 F1 S1 T01 AI Y"});
  const auto reply = [](const std::string& value) {
    return "\x01h\x02" "EVENT 200612071230 F1 S1 T01  IS " + value + "\x03\x04";
  };
  EXPECT_EQ(request({"SET_VALUE 5 F1 S1 T01 7", "SET_VALUE 5 F1 S1 T01 8", "SET_VALUE 5 F1 S1 T01 7"}, "h"),
            reply("7") + reply("8") + reply("7"));
  std::string many = "SET_VALUE 5 F1 S1 T01 9";
  for (int i = 0; i < 100; ++i) many += " extra" + std::to_string(i);
  EXPECT_EQ(request({many}, "h"), reply("9"));
  EXPECT_EQ(request({"SET_VALUE 5 F1 S1 T01 7"}, "h"), reply("7"));
  EXPECT_EQ(request({"SET_VALUE 5 F1 S1 T01 7"}, "h"), reply("7"));
  EXPECT_EQ(request({"SET_VALUE 5 F1 S2 T01 6"}, "h"), "");  // another station's: a problem command
  EXPECT_EQ(st.channel_table().panel(1).value, "7");
}
