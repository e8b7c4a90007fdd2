#include "core/event_log_line.hpp"
#include "core/integer_text.hpp"
#include "core/local_time.hpp"

#include <gtest/gtest.h>

using namespace orvane;

TEST(IntegerText, LeadingIntStopsAtTheFirstNonDigit) {
  EXPECT_EQ(leading_int("  500ms"), 500);
  EXPECT_EQ(leading_int("-12x"), -12);
  EXPECT_EQ(leading_int(""), 0);
  EXPECT_EQ(leading_int("abc", 7), 7);
  EXPECT_EQ(leading_int("99999999999999999999999"), INT64_MAX);  // saturates, no overflow
}

TEST(IntegerText, IntervalsTakeDigitsOnlyAndZeroIsASecond) {
  EXPECT_EQ(interval_ms("  750ms"), 750);
  EXPECT_EQ(interval_ms("0"), 1000);
  EXPECT_EQ(interval_ms(""), 1000);
  EXPECT_EQ(interval_ms("abc"), 1000);
  // A sign is not a digit: "-5" has none, so it is the default, never 1 ms.
  EXPECT_EQ(interval_ms("-5"), 1000);
  EXPECT_EQ(interval_ms(" +20"), 1000);
  EXPECT_EQ(interval_ms("007"), 7);
  EXPECT_EQ(interval_ms("99999999999999999999999"), INT32_MAX);
}

TEST(IntegerText, StrictIntNeedsTheWholeText) {
  EXPECT_EQ(strict_int("6000"), 6000);
  EXPECT_EQ(strict_int(" -5"), -5);
  EXPECT_FALSE(strict_int("abc"));
  EXPECT_FALSE(strict_int("12a"));
  EXPECT_FALSE(strict_int(""));
  EXPECT_FALSE(strict_int("-"));
  EXPECT_FALSE(strict_int("2147483648"));
  EXPECT_EQ(strict_int("-2147483648"), INT32_MIN);
  EXPECT_THROW(to_int_or_throw("x1"), std::invalid_argument);
}

TEST(LocalTimeStamps, FormatsFromTheGivenTime) {
  const auto t = make_local_time(2006, 12, 7, 9, 5, 3, 42);
  EXPECT_EQ(stamp_yyyymmddhhnn(t), "200612070905");
  EXPECT_EQ(stamp_yyyymmdd(t), "20061207");
  EXPECT_EQ(stamp_yyyymm(t), "200612");
  EXPECT_EQ(stamp_hh_nn_ss(t), "09:05:03");
  EXPECT_EQ(stamp_hhnnsszzz(t), "090503042");
  // Crossing midnight at a month and year end.
  const auto next = make_local_time(2006, 12, 31, 23, 59, 59, 999) + std::chrono::milliseconds(1);
  EXPECT_EQ(stamp_yyyymmddhhnn(next), "200701010000");
  // Years of fewer or more than four digits: zero-padded, never cut.
  EXPECT_EQ(stamp_yyyymmddhhnn(make_local_time(999, 1, 2, 3, 4)), "099901020304");
  EXPECT_EQ(stamp_yyyymmddhhnn(make_local_time(12345, 10, 20, 13, 59)), "1234510201359");
}

TEST(EventLogLine, ValueInHundredthsToOneDecimal) {
  EXPECT_EQ(hundredths_text(1234), "12.3");
  EXPECT_EQ(hundredths_text(5), "0.1");
  EXPECT_EQ(hundredths_text(-250), "-2.5");
  EXPECT_EQ(hundredths_text(0), "0.0");
  EXPECT_EQ(hundredths_text(-5), "-0.1");
  EXPECT_EQ(hundredths_text(1249), "12.5");
}

TEST(EventLogLine, FieldsJoinedBySingleBlanks) {
  const std::string line =
      "\x01\x02"
      "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234\x03\x04";
  EXPECT_EQ(event_log_line(line), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 12.3");
  EXPECT_EQ(raw_event_log_line(line), "EVENTA 200612071230 F1 F1S1 TEMP01 IS 1234");
  EXPECT_EQ(event_log_line("a,b,,c, 7"), "a b  c 0.1");
  EXPECT_EQ(event_log_line("EVENTA x IS 12.5"), "EVENTA x IS 0.0");
  EXPECT_FALSE(event_log_line(" \x01\x02\x03\x04 "));
  EXPECT_FALSE(raw_event_log_line(""));

  // Appended after what the buffer holds; only the last field is scaled.
  std::string out = "12 ";
  EXPECT_TRUE(append_event_log_line(out, "\"a b\",7, 1250"));
  EXPECT_TRUE(append_raw_event_log_line(out, " 350"));
  EXPECT_FALSE(append_event_log_line(out, "\x01 \x04"));
  EXPECT_EQ(out, "12 a b 7 12.5350");
}
