#include "net/host_allow_list.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;
using ::testing::ElementsAre;

namespace {

bool allows(const HostAllowList& list, const char* peer) { return list.allows(asio::ip::make_address(peer)); }

}  // namespace

TEST(HostAllowList, EmptyOrBlankLetsEveryHostIn) {
  for (const char* text : {"", "  ", " , ,\t"}) {
    const auto list = HostAllowList::parse(text);
    EXPECT_FALSE(list.restricts()) << text;
    EXPECT_TRUE(allows(list, "203.0.113.9"));
    EXPECT_TRUE(allows(list, "2001:db8::1"));
  }
}

TEST(HostAllowList, AddressesAndPrefixesOfBothFamilies) {
  const auto list = HostAllowList::parse("10.1.0.0/16, 192.168.5.7,::1 2001:db8:40::/42");
  EXPECT_THAT(list.entries(), ElementsAre("10.1.0.0/16", "192.168.5.7/32", "::1/128", "2001:db8:40::/42"));
  EXPECT_TRUE(list.rejected().empty());
  EXPECT_TRUE(allows(list, "10.1.0.0"));
  EXPECT_TRUE(allows(list, "10.1.255.255"));
  EXPECT_FALSE(allows(list, "10.2.0.1"));
  EXPECT_FALSE(allows(list, "10.0.255.255"));
  EXPECT_TRUE(allows(list, "192.168.5.7"));
  EXPECT_FALSE(allows(list, "192.168.5.8"));
  EXPECT_TRUE(allows(list, "::1"));
  EXPECT_FALSE(allows(list, "::2"));
  EXPECT_TRUE(allows(list, "2001:db8:7f:ffff::1"));  // inside the /42
  EXPECT_FALSE(allows(list, "2001:db8:80::1"));  // just past it
  // An IPv4 entry never matches an IPv6 peer with the same leading bytes.
  EXPECT_FALSE(allows(list, "a01::"));
}

TEST(HostAllowList, MappedPeersAndEntriesMatchTheirIpv4Form) {
  const auto list = HostAllowList::parse("127.0.0.2, ::ffff:10.9.0.0/112");
  EXPECT_THAT(list.entries(), ElementsAre("127.0.0.2/32", "10.9.0.0/16"));
  EXPECT_TRUE(allows(list, "::ffff:127.0.0.2"));
  EXPECT_FALSE(allows(list, "::ffff:127.0.0.1"));
  EXPECT_TRUE(allows(list, "10.9.200.1"));
  EXPECT_TRUE(allows(list, "::ffff:10.9.0.1"));
  EXPECT_EQ(host_address_text(asio::ip::make_address("::ffff:127.0.0.2")), "127.0.0.2");
  EXPECT_EQ(host_address_text(asio::ip::make_address("::1")), "::1");
}

TEST(HostAllowList, HostBitsAreMaskedAndZeroPrefixMatchesTheWholeFamily) {
  const auto list = HostAllowList::parse("172.16.33.4/12 ::/0");
  EXPECT_THAT(list.entries(), ElementsAre("172.16.0.0/12", "::/0"));
  EXPECT_TRUE(allows(list, "172.31.255.255"));
  EXPECT_FALSE(allows(list, "172.32.0.0"));
  EXPECT_TRUE(allows(list, "2001:db8::5"));
  EXPECT_TRUE(allows(list, "::ffff:172.20.0.1"));  // mapped: matched as IPv4
  EXPECT_FALSE(allows(list, "::ffff:8.8.8.8"));
}

TEST(HostAllowList, BadEntriesAreSkippedAndNeverOpenTheList) {
  const auto list = HostAllowList::parse(
      "10.0.0.1/33, host.example, 10.1, ::1/129, 1.2.3.4/, /8, fe80::1%eth0, "
      "1.2.3.4/-1, 1.2.3.4/+8, 1.2.3.4/0008, 192.168.1.1");
  EXPECT_THAT(list.rejected(), ElementsAre("10.0.0.1/33", "host.example", "10.1", "::1/129", "1.2.3.4/", "/8",
                                           "fe80::1%eth0", "1.2.3.4/-1", "1.2.3.4/+8", "1.2.3.4/0008"));
  EXPECT_THAT(list.entries(), ElementsAre("192.168.1.1/32"));
  EXPECT_TRUE(allows(list, "192.168.1.1"));
  EXPECT_FALSE(allows(list, "10.0.0.1"));

  // Nothing valid: nobody gets in, rather than everybody.
  const auto broken = HostAllowList::parse("localhost");
  EXPECT_TRUE(broken.restricts());
  EXPECT_FALSE(allows(broken, "127.0.0.1"));
}

// A long list is looked up, not scanned: every entry of 100 000 still
// matches, prefixes of other lengths beside them too, and nothing else.
TEST(HostAllowList, AHundredThousandEntriesMatchAsAFewDo) {
  std::string text = "172.16.0.0/12 2001:db8::/32 fd00::7/128 ";
  for (int i = 0; i < 100000; ++i)
    text += "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255) + ",";
  const auto list = HostAllowList::parse(text);
  EXPECT_TRUE(list.rejected().empty());
  for (int i = 0; i < 100000; i += 997) {
    const auto host = "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255);
    EXPECT_TRUE(allows(list, host.c_str())) << host;
    EXPECT_TRUE(allows(list, ("::ffff:" + host).c_str())) << host;
  }
  EXPECT_FALSE(allows(list, "10.1.134.160"));  // 100 000 is the first one past the list
  EXPECT_FALSE(allows(list, "10.2.0.0"));
  EXPECT_TRUE(allows(list, "172.31.255.255"));
  EXPECT_FALSE(allows(list, "172.32.0.0"));
  EXPECT_TRUE(allows(list, "2001:db8:ffff::1"));
  EXPECT_TRUE(allows(list, "fd00::7"));
  EXPECT_FALSE(allows(list, "fd00::8"));
  EXPECT_FALSE(allows(list, "::a01:0"));  // 10.1.0.0's bits as IPv6: another family
}
