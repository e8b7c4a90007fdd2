#include "core/profile.hpp"

#include <gtest/gtest.h>

using orvane::Profile;

TEST(Profile, NamesMatchWithoutRegardToCase) {
  const auto p = Profile::parse("[connection]\r\nclientport=6000\r\n[Real Data]\r\nHistory Type = 2 \r\n");
  EXPECT_EQ(p.get_int("Connection", "ClientPort", 5000), 6000);
  EXPECT_EQ(p.get_string("REAL DATA", "history type", "0"), "2");
  EXPECT_EQ(p.get_string("Config", "FactoryID", "F1"), "F1");
}

TEST(Profile, IntegerKeysFallBackToTheDefault) {
  const auto p =
      Profile::parse("[Connection]\nClientPort=abc\nServerPort=\nHost=10.0.0.1\n[READ]\nPort=12x\nBrate= 19200\n");
  EXPECT_EQ(p.get_int("Connection", "ClientPort", 5000), 5000);
  EXPECT_EQ(p.get_int("Connection", "ServerPort", 8000), 8000);
  EXPECT_EQ(p.get_int("READ", "Port", 3), 3);
  EXPECT_EQ(p.get_int("READ", "Brate", 9600), 19200);
}

TEST(Profile, MalformedTextNeverBreaksReading) {
  std::string garbage(4096, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) % 256);
  const std::string huge(10 * 1024 * 1024, 'x');
  const auto p = Profile::parse(garbage + "\n[Config\nFactoryID=F9\n" + huge + "\n[Connection]\nHost=h\n");
  EXPECT_EQ(p.get_string("Config", "FactoryID", "F1"), "F9");  // a missing ']' still opens the section
  EXPECT_EQ(p.get_string("Connection", "Host", ""), "h");
}

TEST(Profile, WriteKeepsEverythingElse) {
  auto p = Profile::parse(
      "; station settings\r\n[Connection]\r\nHost=1.2.3.4\r\nUser=Guest\r\n\r\n[Config]\r\nFactoryID=F1\r\n");
  p.set("Connection", "HOST", "10.1.1.1");  // existing key, other letter case: replaced in place
  p.set("Config", "Telphone", "123456");  // missing key: end of its section
  p.set("READ", "Port", "4");  // missing section: end of the file
  EXPECT_EQ(p.text(),
            "; station settings\r\n[Connection]\r\nHost=10.1.1.1\r\nUser=Guest\r\n\r\n[Config]\r\n"
            "FactoryID=F1\r\nTelphone=123456\r\n\r\n[READ]\r\nPort=4\r\n");
  EXPECT_EQ(Profile::parse(p.text()).get_string("connection", "host", ""), "10.1.1.1");
}

TEST(Profile, AMissingKeyInAnEarlierSectionGoesBeforeTheNextSection) {
  auto p = Profile::parse("[Connection]\nUser=Guest\n\n[Config]\nFactoryID=F1\n");
  p.set("Connection", "HOST", "h");
  EXPECT_EQ(p.text(), "[Connection]\r\nUser=Guest\r\nHOST=h\r\n\r\n[Config]\r\nFactoryID=F1\r\n");
}

TEST(Profile, WrittenValuesCannotInjectLines) {
  auto p = Profile::parse("[Config]\nFactoryID=F1\n");
  p.set("Config", "FactoryID", "F2\r\n[Connection]\r\nHost=evil");
  const auto q = Profile::parse(p.text());
  EXPECT_FALSE(q.get("Connection", "Host"));
}
