// What one message may cost and leave behind: line breaks in the items the
// station keeps, and the sensor list and settings saved once per message.
#include "support/station_test.hpp"

#include "core/text_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>

using namespace orvane;
using namespace orvane::test;

namespace {

struct MessageWork : StationTest, ::testing::Test {
  Station& st = station();
  // A second station on the same directory, as after a restart.
  std::string read_config_after_restart() {
    asio::io_context ioc2;
    OperatorLog log2{ioc2};
    Station again{ioc2, log2, StationDeps{clock, flag, power, nullptr}, dir.path()};
    again.start();
    auto c = std::make_shared<FakeConnection>();
    Framer framer;
    framer.feed(
        frame("h", {"READ_CONFIG 1 * x"}), [&](std::span<const std::string_view> l) { again.handle_message(l, c); },
        [] {});
    again.stop_data();
    again.set_clock_active(false);
    return c->take();
  }
};

}  // namespace

TEST_F(MessageWork, LineBreaksInKeptItemsBecomeBlanksAndSurviveARestart) {
  const auto ack = request({"SET_CONFIG 1 \"F\r\n1\" \"S1\r\" \"55\n5\" \"10.0.0.9\r\n\" \"500\r\n\" \"7\n00\""}, "h");
  EXPECT_EQ(visible(ack), visible("\x01h\x02"
                                  "ACK 200612071230 F\r\n1 S1\r\x03 \x04"));
  EXPECT_EQ(st.settings().factory_id, "F  1");
  EXPECT_EQ(st.settings().sensor_id, "S1");
  EXPECT_EQ(st.settings().telephone, "55 5");
  EXPECT_EQ(st.settings().host, "10.0.0.9");
  EXPECT_EQ(st.sampling().history_timer().interval(), 500);
  EXPECT_EQ(st.sampling().event_timer().interval(), 7);
  // Sensor rows: the port id, type and bounds with line breaks.
  request({"SET_ID 1 \"F  1\" S1 \"T\r\n01\" \"A\nI\" Y \"0\r\" 100", "SET_ID 1 \"F  1\" S1 T02 AI Y \"1\n0\""});
  EXPECT_EQ(read_lines(dir / "sensor.con"),
            (std::vector<std::string>{",\"T  01\",A,\" \",Y,\"0 \",100,,,,,,,,", ",T02,A,I,Y,\"1 0\",,,,,,,,,"}));
  const auto before = request({"READ_CONFIG 1 * x"}, "h");
  EXPECT_EQ(visible(before), visible("\x01h\x02READ_CONFIG 1 F  1 S1 55 5 500 7 00 \x03"
                                     "\x02READ_ID 1 F  1 F  1S1 T  01 A  Y 0 100  \x03"
                                     "\x02READ_ID 1 F  1 F  1S1 T02 AI Y 1 0  \x03\x04"));
  EXPECT_EQ(visible(read_config_after_restart()), visible(before));
  // DELETE_ID names the row as it was stored.
  request({"DELETE_ID 1 \"F  1\" S1 \"T\r\n01\""});
  EXPECT_EQ(read_lines(dir / "sensor.con"), (std::vector<std::string>{",T02,A,I,Y,\"1 0\",,,,,,,,,"}));
}

namespace {

// The station's files and what it shows, for comparing two stations.
struct Outcome {
  std::string sensor_con, emulate_ini, history_5, read_config, labels, links;
  bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(StationTest& f) {
  Outcome o;
  o.sensor_con = read_text(f.dir / "sensor.con");
  o.emulate_ini = read_text(f.dir / "emulate.ini");
  o.history_5 = read_text(f.dir / "history" / "5.his");
  o.read_config = f.request({"READ_CONFIG 1 * x"}, "h", std::make_shared<FakeConnection>());
  for (int n = 1; n <= limits::kChannels; ++n) o.labels += f->channel_table().panel(n).label + "|";
  for (const auto& ch : f->channel_table().channels()) o.links += std::to_string(ch.table_row) + " ";
  o.links += f->sampling().read_timer().enabled() ? "random on" : "random off";
  return o;
}

void prepare(StationTest& f) {
  write_text(f.dir / "emulate.ini", "[Connection]\r\nServerPort=21\r\n[Keep]\r\nthis=1\r\n");
  write_text(f.dir / "history" / "5.his", "200612\r\n\"1 T01 1 1 1\",\r\n");
  f.add_channel("T02", "A", true, "5");
  f.add_channel("T04", "A", true, "6");
}

}  // namespace

TEST_F(MessageWork, OneSaveAtTheEndLeavesWhatSavingAfterEveryLineLeft) {
  const std::vector<std::string> lines{
      "SET_ID 1 F1 S1 T01 AI Y 0 100 10 20 30 40 50 60 70 80 90 99",  // more items than columns
      "SET_ID 1 F1 S1 \"Tank, 1\" DO N",
      "SET_ID 1 F1 S1 T02 AI Y -5 5",
      "SET_ID 1 F1 S1 T03",  // too short: "Set ID Error!", no half row
      "DELETE_ID 1 F1 S1 \"Tank, 1\"",
      "DELETE_ID 1 F1 S1 NOPE",
      "SET_CONFIG 1 F2 S2 123 10.0.0.2 500 700",
      "SET_ID 1 F2 S2 T04 DI Y",  // addressed by the identity just set
      "SET_CONFIG 1 F3 S3 456 10.0.0.3 250 300",
      "SET_ID 1 F3 S3 T05 AI N 1 2",
  };
  // Reference: the same lines, each followed by a DO_COMMAND that reads
  // sensor.con back, so everything is done and saved after every line.
  StationTest line_by_line;
  prepare(line_by_line);
  std::vector<std::string> interleaved;
  for (const auto& l : lines) {
    interleaved.push_back(l);
    interleaved.push_back("DO_COMMAND 1 x y \"RCFG\x05sensor.con\"");
  }
  const auto reference_replies = line_by_line.request(interleaved);
  // Each read-back saw the list as saving after that line would have left it.
  EXPECT_NE(reference_replies.find("\x05,T01,A,I,Y,0,100,10,20,30,40,50,60,70,80\x05\x02"), std::string::npos);
  EXPECT_NE(
      reference_replies.find("\x05,T01,A,I,Y,0,100,10,20,30,40,50,60,70,80\x05,\"Tank, 1\",D,O,N,,,,,,,,,,\x05\x02"),
      std::string::npos);

  prepare(*this);
  EXPECT_EQ(visible(request(lines)), visible("\x01H\x02"
                                             "ACK 200612071230 F1 S1\x03 \x04"));
  const auto once = outcome_of(*this);
  const auto each = outcome_of(line_by_line);
  EXPECT_EQ(visible(once.sensor_con), visible(each.sensor_con));
  EXPECT_EQ(visible(once.emulate_ini), visible(each.emulate_ini));
  EXPECT_EQ(once.history_5, "");
  EXPECT_EQ(once.history_5, each.history_5);
  EXPECT_EQ(visible(once.read_config), visible(each.read_config));
  EXPECT_EQ(once.labels, each.labels);
  EXPECT_EQ(once.links, each.links);
  EXPECT_TRUE(logged("Error : Set ID Error!"));
  EXPECT_EQ(count_logged("Emulator : Answer Ack"), 1u);
}

TEST_F(MessageWork, LinesThatReadFilesOrChannelsSeeTheEarlierLinesDone) {
  add_channel("T02", "A", true, "5");
  const auto replies =
      request({"SET_ID 1 F1 S1 T01 AI Y", "SET_ID 1 F1 S1 T02 AI Y", "DO_COMMAND 1 F1 S1 \"RCFG\x05sensor.con\"",
               "SET_ID 1 F1 S1 T03 AI Y", "SET_VALUE 1 F1 S1 T02 42"});
  EXPECT_NE(replies.find("sensor.con\x05,T01,A,I,Y,,,,,,,,,,\x05,T02,A,I,Y,,,,,,,,,,\x05\x02"), std::string::npos)
      << visible(replies);
  EXPECT_EQ(st.channel_table().channels()[0].table_row, 2);
  EXPECT_EQ(st.channel_table().panel(2).value, "42");  // the value set after the rows changed stays
  EXPECT_EQ(st.channel_table().panel(3).label, "T03");
  EXPECT_EQ(read_lines(dir / "sensor.con").size(), 3u);
}

namespace {

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Write system calls this process has made so far.
long write_calls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = -1;
  while (io >> key >> value)
    if (key == "syscw:") return value;
  return -1;
}

}  // namespace

TEST_F(MessageWork, MessagesThatMixCommandsStillSaveTheFilesOncePerMessage) {
  add_channel("P15999", "A", true, "0");
  write_text(dir / "auto.con", "0\r\n");
  write_text(dir / "history" / "5.his", "200612\r\n\"1 T01 1 1 1\",\r\n");
  // Sensors, each followed by a remote command that changes the data mode,
  // the clock, auto.con or the history, or only reports.
  const std::array<std::string, 5> commands{"STR", "RCD", "ENB", "CHT", "STA"};
  std::vector<std::string> lines;
  for (int i = 0; i < 6000; ++i) {
    lines.push_back("SET_ID 1 F1 S1 P" + std::to_string(10000 + i) + " AI Y 0 100");
    lines.push_back("DO_COMMAND 1 F1 S1 " + commands[static_cast<std::size_t>(i) % commands.size()]);
  }
  auto before = write_calls();
  ASSERT_GE(before, 0);
  auto replies = request(lines);
  EXPECT_LT(write_calls() - before, 20);
  EXPECT_EQ(count_of(replies, " Complete "), 6000u);
  EXPECT_EQ(read_lines(dir / "sensor.con").size(), 6000u);
  EXPECT_EQ(read_text(dir / "auto.con"), "1\r\n");
  EXPECT_EQ(read_text(dir / "history" / "5.his"), "");
  EXPECT_EQ(st.data_mode(), DataMode::stopped);  // STA came last
  EXPECT_EQ(st.channel_table().channels()[0].table_row, 6000);  // linked to the last sensor

  // Configurations, each followed by a line that reads channels or stops
  // the station: emulate.ini is written before the first is acted on, and
  // once more at the end.
  lines.clear();
  for (int i = 0; i < 3000; ++i) {
    lines.push_back("SET_CONFIG 1 F1 S1 " + std::to_string(i) + " 10.0.0.9 500 700");
    lines.push_back(i % 2 ? "DO_COMMAND 1 F1 S1 STR" : "READ_DATA 1 F1 S1");
  }
  take_lines();
  before = write_calls();
  replies = request(lines);
  EXPECT_LT(write_calls() - before, 20);
  EXPECT_NE(read_text(dir / "emulate.ini").find("Telphone=2999\r\n"), std::string::npos);
  EXPECT_EQ(st.settings().telephone, "2999");
  EXPECT_EQ(st.data_mode(), DataMode::stopped);
  EXPECT_TRUE(flag.value);
  EXPECT_EQ(std::ranges::count(take_lines(), "Emulator : Answer Ack"), 1);
}

TEST_F(MessageWork, ScfgFloodsWriteEachFileOnceAndNoReplyComesBeforeItsFile) {
  // 3 000 replacements of one file, read back now and then: the file is
  // written a few times, not 3 000, and every reply still comes in order
  // and tells what the file holds at that line.
  std::vector<std::string> lines;
  for (int i = 0; i < 3000; ++i) {
    lines.push_back(
        "DO_COMMAND 1 F1 S1 \"SCFG\x05"
        "a.con\x05line " +
        std::to_string(i) + "\"");
    if (i % 500 == 499)
      lines.push_back(
          "DO_COMMAND 1 F1 S1 \"RCFG\x05"
          "a.con\"");
  }
  lines.push_back("SET_ID 1 F1 S1 T01 AI Y");
  const auto before = write_calls();
  ASSERT_GE(before, 0);
  const auto replies = request(lines);
  EXPECT_LT(write_calls() - before, 100);
  std::size_t at = 0;
  for (int i = 0; i < 3000; ++i) {
    at = replies.find(" Complete line " + std::to_string(i) + " ", at);
    ASSERT_NE(at, std::string::npos) << i;
    if (i % 500 == 499) {
      at = replies.find("a.con\x05line " + std::to_string(i) + "\x05\x02 Complete line " + std::to_string(i), at);
      ASSERT_NE(at, std::string::npos) << "read back after line " << i;
    }
  }
  EXPECT_NE(replies.find("ACK ", at), std::string::npos);
  EXPECT_EQ(read_text(dir / "a.con"), "line 2999\r\n");

  // A file that can't be written: no reply from its line on reports
  // anything, the message gets no ACK, the file before it is written.
  take_lines();
  const auto failed =
      request({"DO_COMMAND 1 F1 S1 \"SCFG\x05"
               "b.con\x05one\"",
               "READ_DATA 1 F1 S1",
               "DO_COMMAND 1 F1 S1 \"SCFG\x05"
               "missing/c.con\x05two\"",
               "READ_DATA 1 F1 S1", "SET_ID 1 F1 S1 T02 AI Y"});
  EXPECT_EQ(count_of(failed, "\x01H"), 2u) << visible(failed);
  EXPECT_NE(failed.find(" Complete one "), std::string::npos);
  EXPECT_EQ(failed.find(" Complete two "), std::string::npos);
  EXPECT_EQ(failed.find("ACK "), std::string::npos);
  EXPECT_EQ(read_text(dir / "b.con"), "one\r\n");
  const auto log = take_lines();
  EXPECT_TRUE(std::ranges::any_of(log, [](const auto& l) { return l.starts_with("Error : Cannot create file"); }));
  // A line that fails after them: the files before it are written and
  // reported, as if each line were done on its own; the message ends there.
  const auto refused =
      request({"DO_COMMAND 1 F1 S1 \"SCFG\x05"
               "d.con\x05three\"",
               "READ_DATA 1 F1 S1", "DO_COMMAND 1 F1 S1 \"SCFG\x05../e.con\x05four\"", "SET_ID 1 F1 S1 T04 AI Y"});
  EXPECT_EQ(count_of(refused, "\x01H"), 2u) << visible(refused);
  EXPECT_NE(refused.find(" Complete three "), std::string::npos);
  EXPECT_EQ(refused.find("ACK "), std::string::npos);
  EXPECT_EQ(read_text(dir / "d.con"), "three\r\n");
  EXPECT_EQ(read_text(dir / "sensor.con").find("T04"), std::string::npos);
  // A realtime line after one: the file is written and its reply sent
  // before the line, which is done once.
  take_lines();
  const auto beside =
      request({"DO_COMMAND 1 F1 S1 \"SCFG\x05"
               "f.con\x05"
               "five\"",
               "END_REALTIME 1 F1 S1", "SET_ID 1 F1 S1 T05 AI Y"});
  EXPECT_NE(beside.find(" Complete five "), std::string::npos);
  EXPECT_NE(beside.find("ACK "), std::string::npos);
  EXPECT_EQ(read_text(dir / "f.con"), "five\r\n");
  EXPECT_EQ(std::ranges::count(take_lines(), "num end realtime : 0"), 1);
  // Nothing of it is left to a later message.
  EXPECT_NE(request({"DO_COMMAND 1 F1 S1 \"RCFG\x05"
                     "b.con\"",
                     "SET_ID 1 F1 S1 T03 AI Y"})
                .find("ACK "),
            std::string::npos);
}

TEST_F(MessageWork, AFailedLineStillLeavesTheEarlierLinesSaved) {
  write_text(dir / "history" / "1.his", "200612\r\n");
  const auto reply = request({"SET_CONFIG 1 F1 S1 9 h 100 100", "SET_ID 1 F1 S1 T01 AI Y",
                              "READ_HISTORY 1 F1 S1 notanumber", "SET_ID 1 F1 S1 T02 AI Y"});
  EXPECT_EQ(visible(reply), "");  // the rest of the message is abandoned: no ACK
  EXPECT_EQ(read_lines(dir / "sensor.con"), (std::vector<std::string>{",T01,A,I,Y,,,,,,,,,,"}));
  EXPECT_NE(read_text(dir / "emulate.ini").find("Telphone=9"), std::string::npos);
  EXPECT_EQ(read_text(dir / "history" / "1.his"), "");
  EXPECT_EQ(st.channel_table().panel(1).label, "T01");
}

TEST_F(MessageWork, ASetConfigThatCantBeSavedGetsNoAck) {
  // Root writes everywhere: the message is handled as "nobody", who may
  // not write in the station directory.
  namespace fs = std::filesystem;
  fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  write_text(dir / "emulate.ini", "[Config]\r\nFactoryID=F1\r\n");
  const bool root = ::geteuid() == 0;
  if (!root) fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::remove);
  std::string reply, second;
  {
    if (root) {
      ASSERT_EQ(::seteuid(65534), 0);
    }
    reply = request({"SET_CONFIG 1 F7 S7 1 h 100 100"}, "h");
    // Two in one message: what is put back is the identity the message found.
    second =
        request({"SET_ID 1 F1 S1 T01 AI Y", "SET_CONFIG 1 F7 S7 1 h 100 100", "SET_CONFIG 1 F8 S8 1 h 100 100"}, "h");
    if (root) {
      ASSERT_EQ(::seteuid(0), 0);
    }
  }
  fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(visible(reply), "");
  EXPECT_EQ(visible(second), "");
  EXPECT_EQ(count_logged("Set Config Error!"), 2u);
  EXPECT_FALSE(logged("Emulator : Answer Ack"));
  // Memory keeps what the file holds.
  EXPECT_EQ(st.settings().factory_id, "F1");
  EXPECT_EQ(read_text(dir / "emulate.ini"), "[Config]\r\nFactoryID=F1\r\n");
  EXPECT_FALSE(flag.value);
  // Once the directory can be written, the host's retry is saved and acknowledged.
  EXPECT_EQ(visible(request({"SET_CONFIG 1 F7 S7 1 h 100 100"}, "h")), visible("\x01h\x02"
                                                                               "ACK 200612071230 F7 S7\x03 \x04"));
  EXPECT_EQ(st.settings().factory_id, "F7");
}
