#include "platform/clock.hpp"
#include "platform/configured_flag.hpp"
#include "platform/instance_lock.hpp"
#include "platform/power_control.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <thread>

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

TEST(SystemClock, FollowsTheZoneConversionOfTheSystemTimeAcrossSeconds) {
  using namespace std::chrono;
  const auto local = [](system_clock::time_point p) {
    const auto ms = duration_cast<milliseconds>(p.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    return make_local_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                           static_cast<int>(ms % 1000));
  };
  SystemClock clock;
  LocalTime previous{};
  const auto start = steady_clock::now();
  // A little over a second: the conversion kept for one second must not
  // outlive it.
  while (steady_clock::now() - start < milliseconds(1100)) {
    const auto before = system_clock::now();
    const auto t = clock.now();
    const auto after = system_clock::now();
    ASSERT_GE(t, local(before));
    ASSERT_LE(t, local(after));
    ASSERT_GE(t, previous);
    previous = t;
    std::this_thread::sleep_for(milliseconds(3));
  }
}

TEST(PowerControl, TheCommandGetsSigpipeBackThoughTheStationIgnoresIt) {
  const auto saved = std::signal(SIGPIPE, SIG_IGN);
  // SIGPIPE is signal 13: bit 0x1000 of the shell's ignored-signal mask.
  EXPECT_TRUE(run_shell_command("test $(( 0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status) & 0x1000 )) -eq 0"));
  EXPECT_FALSE(run_shell_command("test $(( 0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status) & 0x1000 )) -ne 0"));
  std::signal(SIGPIPE, saved);
}
