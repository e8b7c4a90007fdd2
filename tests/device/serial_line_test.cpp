// The DCON client against the module simulator over a real pty.
#include "device/serial_line.hpp"
#include "device/result_codes.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using test::SimProcess;
using test::TempDir;

constexpr auto kTimeout = 200ms;

struct SimLine {
  TempDir dir;
  SimProcess sim;
  SerialDeviceLine line;
  explicit SimLine(std::vector<std::string> args)
      : sim(dir / "com3", std::move(args)), line(ComPortMap{{3, (dir / "com3").string()}}) {
    EXPECT_EQ(line.open(3, 9600), rc::kNoError);
  }
};

TEST(ComPorts, DefaultNamesAndOverrides) {
  EXPECT_EQ(com_port_path(1, {}), "/dev/ttyS0");
  EXPECT_EQ(com_port_path(3, {}), "/dev/ttyS2");
  EXPECT_EQ(com_port_path(3, {{3, "/tmp/sim"}}), "/tmp/sim");
  EXPECT_EQ(com_port_path(0, {}), "");
  EXPECT_EQ(parse_com_mapping("3=/tmp/a=b"), (std::pair<int, std::string>{3, "/tmp/a=b"}));
  for (const char* bad : {"", "3", "=/x", "3=", "x=/y", "0=/y", "-1=/y"})
    EXPECT_THROW(parse_com_mapping(bad), std::invalid_argument) << bad;
}

TEST(SerialDeviceLine, OpenFailures) {
  TempDir dir;
  SerialDeviceLine line(ComPortMap{{3, (dir / "missing").string()}, {4, (dir / "plain").string()}});
  test::write_text(dir / "plain", "not a tty");
  EXPECT_EQ(line.open(3, 9600), rc::kPortError);
  EXPECT_EQ(line.open(4, 9600), rc::kPortError);  // not a terminal
  AnalogReadings area{};
  EXPECT_EQ(line.read_module(1, false, kTimeout, area), rc::kComPortNotOpen);

  SimProcess sim(dir / "com5", {});
  SerialDeviceLine sim_line(ComPortMap{{5, (dir / "com5").string()}});
  EXPECT_EQ(sim_line.open(5, 12345), rc::kBaudRateError);
  EXPECT_FALSE(sim_line.is_open());
  EXPECT_EQ(sim_line.open(5, 115200), rc::kNoError);
  EXPECT_EQ(sim_line.open(5, 9600), rc::kNoError);  // a second start reopens
}

TEST(SerialDeviceLine, ReadsValuesOfSeveralModules) {
  SimLine s({"--module", "1", "--module", "A", "--input", "1:*=const:-2.5", "--input", "1:3=const:12.5", "--input",
             "A:7=const:19.999"});
  AnalogReadings area{};
  ASSERT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kNoError);
  EXPECT_EQ(area, (AnalogReadings{-2.5f, -2.5f, -2.5f, 12.5f, -2.5f, -2.5f, -2.5f, -2.5f}));
  ASSERT_EQ(s.line.read_module(0xA, false, kTimeout, area), rc::kNoError);
  EXPECT_FLOAT_EQ(area[7], 19.999f);

  // Values set at run time are read on the next poll.
  ASSERT_TRUE(s.sim.command("1 0 4.5"));
  ASSERT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kNoError);
  EXPECT_FLOAT_EQ(area[0], 4.5f);
}

TEST(SerialDeviceLine, EachFaultGivesItsCodeAndKeepsTheArea) {
  SimLine s({"--module", "1", "--input", "1:*=const:3"});
  AnalogReadings area{};
  ASSERT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kNoError);
  const AnalogReadings good = area;

  ASSERT_TRUE(s.sim.command("fault 1 silent"));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kTimeOut);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // bounded, not hung
  ASSERT_TRUE(s.sim.command("fault 1 garbage"));
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kResultStringCheckError);
  ASSERT_TRUE(s.sim.command("fault 1 error"));
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kCommandError);
  EXPECT_EQ(area, good);

  // Nobody at address 2 answers.
  ASSERT_TRUE(s.sim.command("fault 1 none"));
  EXPECT_EQ(s.line.read_module(2, false, kTimeout, area), rc::kTimeOut);

  // A reply later than the timeout is a time-out; a quicker one is fine.
  ASSERT_TRUE(s.sim.command("delay 400"));
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kTimeOut);
  ASSERT_TRUE(s.sim.command("delay 20"));
  ASSERT_TRUE(s.sim.command("1 0 7.25"));
  // The late reply (7.25 was not yet set) may still be in flight; wait it out.
  std::this_thread::sleep_for(450ms);
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kNoError);
  EXPECT_FLOAT_EQ(area[0], 7.25f);
}

TEST(SerialDeviceLine, Checksums) {
  SimLine s({"--module", "1", "--checksum", "--input", "1:*=const:1.5"});
  AnalogReadings area{};
  // Modules with checksums on ignore requests without one.
  EXPECT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kTimeOut);
  ASSERT_EQ(s.line.read_module(1, true, kTimeout, area), rc::kNoError);
  EXPECT_FLOAT_EQ(area[5], 1.5f);
  ASSERT_TRUE(s.sim.command("fault 1 badsum"));
  EXPECT_EQ(s.line.read_module(1, true, kTimeout, area), rc::kCheckSumError);
  ASSERT_TRUE(s.sim.command("fault 1 error"));
  EXPECT_EQ(s.line.read_module(1, true, kTimeout, area), rc::kCommandError);
}

TEST(SerialDeviceLine, OtherSideClosingIsReportedOnEveryRead) {
  SimLine s({"--module", "1"});
  AnalogReadings area{};
  ASSERT_EQ(s.line.read_module(1, false, kTimeout, area), rc::kNoError);
  s.sim.stop(SIGKILL);  // like an unplugged adapter: the master side goes away
  for (int i = 0; i < 3; ++i) {
    const int code = s.line.read_module(1, false, kTimeout, area);
    // Reported at once, not after waiting out the timeout.
    EXPECT_TRUE(code == rc::kSendCommandError || code == rc::kReadComPortStatusError) << code;
  }
}

}  // namespace
}  // namespace orvane
