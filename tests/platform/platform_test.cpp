#include "platform/configured_flag.hpp"
#include "platform/instance_lock.hpp"
#include "platform/power_control.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace orvane;
using orvane::test::TempDir;

TEST(InstanceLock, OnlyOneHolderUntilReleased) {
  TempDir dir;
  const auto path = dir / "OrvaneEmulator.lock";
  {
    auto first = InstanceLock::acquire(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(InstanceLock::acquire(path));
  }
  EXPECT_TRUE(InstanceLock::acquire(path));  // released with its holder
}

TEST(ConfiguredFlag, AbsentOrUnreadableMeansNotSet) {
  TempDir dir;
  FileConfiguredFlag flag(dir / "cfg" / "kelv" / "emu" / "1.21" / "flag");
  EXPECT_FALSE(flag.is_set());
  flag.set();  // creates the folders
  EXPECT_TRUE(flag.is_set());
  EXPECT_EQ(orvane::test::read_text(flag.path()), "1\r\n");

  orvane::test::write_text(dir / "other", "0");
  EXPECT_FALSE(FileConfiguredFlag(dir / "other").is_set());
}

TEST(ConfiguredFlag, AFailedWriteIsSwallowed) {
  TempDir dir;
  orvane::test::write_text(dir / "file", "x");
  FileConfiguredFlag flag(dir / "file" / "sub" / "flag");  // a file where a folder should be
  EXPECT_NO_THROW(flag.set());
  EXPECT_FALSE(flag.is_set());
}

TEST(PowerControl, RunsTheConfiguredCommandAndReportsItsResult) {
  TempDir dir;
  const auto marker = dir / "rebooted";
  CommandPowerControl power("touch " + marker.string(), "exit 3");
  EXPECT_TRUE(power.request(PowerAction::reboot));
  EXPECT_TRUE(std::filesystem::exists(marker));
  EXPECT_FALSE(power.request(PowerAction::power_off));
  EXPECT_FALSE(CommandPowerControl("", "").request(PowerAction::reboot));
}
