#include "device/dcon.hpp"
#include "device/result_codes.hpp"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Dcon, RequestCarriesAddressAsTwoUpperCaseHexDigits) {
  EXPECT_EQ(dcon_read_all_request(dcon_address('1'), false), "#01\r");
  EXPECT_EQ(dcon_read_all_request(dcon_address('A'), false), "#0A\r");
  EXPECT_EQ(dcon_read_all_request(dcon_address('f'), false), "#0F\r");
  // '#'+'0'+'1' = 0x23+0x30+0x31 = 0x84
  EXPECT_EQ(dcon_read_all_request(1, true), "#0184\r");
  EXPECT_THROW(dcon_address('G'), std::invalid_argument);
  EXPECT_THROW(dcon_address(' '), std::invalid_argument);
  EXPECT_THROW(dcon_address('\0'), std::invalid_argument);
}

TEST(Dcon, ParsesEightSignedReadingsOfAnyWidth) {
  AnalogReadings area{};
  ASSERT_EQ(dcon_parse_read_all_reply(">+05.123-00.500+1+123.25-7.+0.0+99999.999-3", false, area), 0);
  EXPECT_FLOAT_EQ(area[0], 5.123f);
  EXPECT_FLOAT_EQ(area[1], -0.5f);
  EXPECT_FLOAT_EQ(area[2], 1.0f);
  EXPECT_FLOAT_EQ(area[3], 123.25f);
  EXPECT_FLOAT_EQ(area[4], -7.0f);
  EXPECT_FLOAT_EQ(area[5], 0.0f);
  EXPECT_FLOAT_EQ(area[6], 99999.999f);
  EXPECT_FLOAT_EQ(area[7], -3.0f);
}

TEST(Dcon, BadRepliesLeaveTheAreaAsItWas) {
  const AnalogReadings before{1, 2, 3, 4, 5, 6, 7, 8};
  const char* eight = ">+1.0+1.0+1.0+1.0+1.0+1.0+1.0+1.0";
  struct Case {
    std::string reply;
    bool checksum;
    int code;
  } cases[] = {
      {"", false, rc::kResultStringCheckError},
      {"!01", false, rc::kResultStringCheckError},
      {">+1.0+1.0", false, rc::kResultStringCheckError},  // seven short
      {std::string(eight) + "+1.0", false, rc::kResultStringCheckError},  // nine
      {">+1.0+1.0+1.0+1.0+1.0+1.0+1.0+", false, rc::kResultStringCheckError},
      {">+1.0+1.0+1.0+1.0+1.0+1.0+1.0 1.0", false, rc::kResultStringCheckError},
      {">+1.0+1.0+1.0+1.0+1.0+1.0+1.0+nan", false, rc::kResultStringCheckError},
      {">+1.0+1.0+1.0+1.0+1.0+1.0+1.0+" + std::string(60, '9'), false, rc::kResultStringCheckError},  // not a float
      {"?01", false, rc::kCommandError},
      {std::string(eight) + "00", true, rc::kCheckSumError},
      {std::string(eight) + "G0", true, rc::kCheckSumError},
      {std::string(eight), true, rc::kCheckSumError},  // the last two readings' bytes aren't a sum
      {"?0", true, rc::kResultStringCheckError},  // too short to carry a sum
  };
  for (const auto& c : cases) {
    AnalogReadings area = before;
    EXPECT_EQ(dcon_parse_read_all_reply(c.reply, c.checksum, area), c.code) << c.reply;
    EXPECT_EQ(area, before) << c.reply;
  }
}

TEST(Dcon, ChecksumModeChecksThenStripsTheSum) {
  AnalogReadings area{};
  const std::string body = ">+1.0+2.0+3.0+4.0+5.0+6.0+7.0+8.0";
  ASSERT_EQ(dcon_parse_read_all_reply(body + dcon_checksum(body), true, area), 0);
  EXPECT_FLOAT_EQ(area[7], 8.0f);
  EXPECT_EQ(dcon_parse_read_all_reply("?01" + dcon_checksum("?01"), true, area), rc::kCommandError);
  // A reply with a sum, read without checksums, does not parse.
  EXPECT_EQ(dcon_parse_read_all_reply(body + dcon_checksum(body), false, area), rc::kResultStringCheckError);
}

TEST(ResultCodes, TextsAndUnknownCodes) {
  EXPECT_STREQ(result_code_text(15), "Time Out");
  EXPECT_STREQ(result_code_text(7), "CheckSum Error");
  EXPECT_STREQ(result_code_text(14), "Unknown Error");
  EXPECT_STREQ(result_code_text(16), "Unknown Error");
  EXPECT_STREQ(result_code_text(99), "Unknown Error");
  EXPECT_STREQ(result_code_text(-1), "Unknown Error");
}

}  // namespace
}  // namespace orvane
