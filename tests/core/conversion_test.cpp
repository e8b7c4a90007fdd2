#include "core/conversion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvane {
namespace {

constexpr RawRange kDefault{0, 20};

TEST(Conversion, RangeClampsAtBothEndsAndFollowsFallingScales) {
  EXPECT_EQ(range_value(4.0, kDefault, 0, 1000), 200);
  EXPECT_EQ(range_value(0, kDefault, 0, 1000), 0);
  EXPECT_EQ(range_value(20, kDefault, 0, 1000), 1000);
  EXPECT_EQ(range_value(25, kDefault, 0, 1000), 1000);
  EXPECT_EQ(range_value(-3, kDefault, 0, 1000), 0);
  EXPECT_EQ(range_value(99999.999, kDefault, -50, 50), 50);
  EXPECT_EQ(range_value(0, kDefault, 100, 0), 100);
  EXPECT_EQ(range_value(20, kDefault, 100, 0), 0);
  EXPECT_EQ(range_value(5, RawRange{4, 20}, 0, 16), 1);
}

TEST(Conversion, HalvesRoundToEven) {
  EXPECT_EQ(range_value(1.25, kDefault, 0, 2), 0);  // 0.125
  EXPECT_EQ(range_value(1.25, kDefault, 0, 200), 12);  // 12.5
  EXPECT_EQ(range_value(3.5, RawRange{0, 100}, 0, 100), 4);
  EXPECT_EQ(range_value(2.5, RawRange{0, 100}, 0, 100), 2);
  EXPECT_EQ(full_scale_value(0.0025, kDefault), 1);  // 1.25
  EXPECT_EQ(full_scale_value(0.003, kDefault), 2);  // 1.5
  EXPECT_EQ(round_half_even(-2.5), -2);
  EXPECT_EQ(round_half_even(-3.5), -4);
}

TEST(Conversion, FullScaleAndFailures) {
  EXPECT_EQ(full_scale_value(10, kDefault), 5000);
  EXPECT_EQ(full_scale_value(-1, kDefault), 0);
  EXPECT_EQ(full_scale_value(1e300, kDefault), 10000);
  EXPECT_EQ(full_scale_value(std::numeric_limits<double>::infinity(), kDefault), 10000);
  EXPECT_EQ(full_scale_value(5, RawRange{7, 7}), std::nullopt);
  EXPECT_EQ(range_value(5, RawRange{7, 7}, 0, 100), std::nullopt);
  EXPECT_EQ(full_scale_value(std::nan(""), kDefault), std::nullopt);
  // Extreme settings don't overflow the span.
  const RawRange wide{std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
  EXPECT_EQ(full_scale_value(0, wide), 5000);
  EXPECT_EQ(
      range_value(20, kDefault, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()),
      std::numeric_limits<std::int32_t>::max());
}

TEST(Conversion, Texts) {
  EXPECT_EQ(general_text(4.5), "4.5");
  EXPECT_EQ(general_text(4.12345), "4.12345");
  EXPECT_EQ(general_text(4), "4");
  EXPECT_EQ(general_text(-0.0), "0");
  EXPECT_EQ(general_text(-12.25), "-12.25");
  EXPECT_EQ(general_text(99999.999), "99999.999");
  EXPECT_EQ(reading_text(4.5), "4.50000");
  EXPECT_EQ(reading_text(0), "0.00000");
  EXPECT_EQ(reading_text(-1.25), "-1.25000");
  EXPECT_EQ(reading_text(static_cast<float>(12.345)), "12.34500");
}

TEST(Conversion, DecimalTexts) {
  EXPECT_EQ(parse_decimal("4.50000"), 4.5);
  EXPECT_EQ(parse_decimal(" -1.25 "), -1.25);
  EXPECT_EQ(parse_decimal("+3"), 3);
  EXPECT_EQ(parse_decimal(".5"), 0.5);
  EXPECT_EQ(parse_decimal("1e2"), 100);
  for (const char* bad :
       {"", " ", "nan", "-nan", "inf", "infinity", "0x10", "1.2.3", "4,5", "12a", "+", "--1", "1e999"})
    EXPECT_EQ(parse_decimal(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace orvane
