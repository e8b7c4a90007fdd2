#include "core/event_record.hpp"
#include "core/history_item.hpp"

#include <gtest/gtest.h>

using orvane::event_state;

namespace {
std::int64_t level(std::int64_t v, std::array<std::string_view, 8> t) { return event_state(false, v, t); }
}  // namespace

TEST(EventRecord, AnalogLevelsComeFromTheFirstThresholdAboveTheValue) {
  EXPECT_EQ(level(99, {"100", "200", "300"}), 1);
  EXPECT_EQ(level(100, {"100", "200", "300"}), 2);
  EXPECT_EQ(level(250, {"100", "200", "300"}), 3);
  EXPECT_EQ(level(300, {"100", "200", "300"}), 4);
  EXPECT_EQ(level(500, {"100", " ", "300"}), 2);  // the scan stops at a blank cell
  EXPECT_EQ(level(150, {"300", "100"}), 1);
  EXPECT_EQ(level(-5, {}), 1);
  EXPECT_EQ(level(9999, {"1", "2", "3", "4", "5", "6", "7", "8"}), 9);
  EXPECT_EQ(level(5, {" 10x"}), 1);
  EXPECT_EQ(event_state(true, 42, {"1"}), 42);
}

TEST(EventRecord, EventLineBytes) {
  EXPECT_EQ(orvane::event_line('A', "200612071230", "F1", "S1", "TEMP01", "350"),
            "\x01\x02"
            "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\x03\x04");
  EXPECT_EQ(orvane::event_line('D', "200612071230", "", "", " P ", "-1"),
            "\x01\x02"
            "EVENTD 200612071230    P  IS -1\x03\x04");
}

TEST(EventRecord, HistoryItemsTruncateTheAverageTowardZero) {
  EXPECT_EQ(orvane::history_item(13, "T1", 10, 50, 90, 3), "\"13 T1 10 50 30\",");
  EXPECT_EQ(orvane::history_item(0, "T", 1, 2, 3, 2), "\"0 T 1 2 1\",");
  EXPECT_EQ(orvane::history_item(23, "T", -2, -1, -3, 2), "\"23 T -2 -1 -1\",");
  EXPECT_EQ(orvane::history_item(5, "T", 0, 0, 0, 0), "\"5 T 0 0 0\",");
}
