#include "platform/ppp_dialer.hpp"
#include "platform/icmp_pinger.hpp"
#include "support/test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace orvane;
using orvane::test::read_text;
using orvane::test::TempDir;
using orvane::test::write_text;
using ::testing::ElementsAre;

namespace {

// A stand-in for pppd that records its arguments and ends with `status`,
// or keeps running (as a dialled link does) when status is "run".
std::filesystem::path fake_pppd(const TempDir& dir, const std::string& status) {
  const auto path = dir / "pppd";
  std::string script = "#!/bin/sh\necho \"$@\" > " + (dir / "args").string() + "\n";
  script += status == "run" ? "exec sleep 30\n" : "exit " + status + "\n";
  write_text(path, script);
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace

TEST(PppdDialer, ThePhonebookIsThePeersFolderInNameOrder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "peers");
  write_text(dir / "peers" / "vrn", "");
  write_text(dir / "peers" / "isp", "");
  PppdOptions options;
  options.peers_dir = dir / "peers";
  PppdDialer dialer(options);
  EXPECT_THAT(dialer.phonebook_entries(), ElementsAre("isp", "vrn"));

  options.peers_dir = dir / "none";
  EXPECT_THROW(PppdDialer(options).phonebook_entries(), DialError);
}

TEST(PppdDialer, AFailedDialReportsPppdsReasonAndPassesTheNumberAndLogin) {
  TempDir dir;
  PppdOptions options;
  options.pppd = fake_pppd(dir, "8");
  options.chat_script = "/etc/chatscripts/vrn";
  PppdDialer dialer(options);
  try {
    dialer.dial("vrn", "555123", "Guest", "Tulip");
    FAIL() << "dial should fail";
  } catch (const DialError& e) {
    EXPECT_STREQ(e.what(), "The connect script failed");
  }
  EXPECT_EQ(read_text(dir / "args"),
            "call vrn nodetach ifname ppp-vrn user Guest password Tulip connect "
            "/usr/sbin/chat -f /etc/chatscripts/vrn -T 555123\n");
  EXPECT_TRUE(dialer.connections().empty());
  EXPECT_THROW(dialer.dial("vrn", "555; reboot", "Guest", "Tulip"), DialError);
}

TEST(PppdDialer, ALinkThatNeverComesUpIsLeftHalfOpenForTheHangUp) {
  TempDir dir;
  PppdOptions options;
  options.pppd = fake_pppd(dir, "run");
  options.dial_timeout = std::chrono::seconds(0);
  PppdDialer dialer(options);
  int handle = 0;
  try {
    dialer.dial("vrn", "1", "", "");
  } catch (const DialError& e) {
    ASSERT_TRUE(e.half_open);
    handle = *e.half_open;
  }
  const auto listed = dialer.connections();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].entry, "vrn");
  EXPECT_EQ(dial_state_name(listed[0].state), "Connecting device");
  dialer.hang_up(handle);
  EXPECT_TRUE(dialer.connections().empty());
}

TEST(IcmpPinger, LoopbackAnswersAndAnUnknownHostDoesNot) {
  IcmpPinger pinger;
  EXPECT_TRUE(pinger.ping("127.0.0.1", std::chrono::milliseconds(1000)));
  EXPECT_FALSE(pinger.ping("no-such-host.invalid", std::chrono::milliseconds(200)));
}
