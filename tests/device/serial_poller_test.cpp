// The asynchronous DCON client against the module simulator over a real pty:
// the same results as the blocking client, and a loop thread that never
// waits for a module.
#include "device/serial_poller.hpp"
#include "device/result_codes.hpp"
#include "device/serial_line.hpp"
#include "support/heartbeat.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <optional>
#include <thread>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using test::SimProcess;
using test::TempDir;
using Reads = std::vector<ModuleRead>;

constexpr ModuleReadOptions kPlain{false, 200ms};

struct SimPoller {
  TempDir dir;
  SimProcess sim;
  asio::io_context ioc;
  SerialModulePoller poller;
  explicit SimPoller(std::vector<std::string> args)
      : sim(dir / "com3", std::move(args)), poller(ioc, ComPortMap{{3, (dir / "com3").string()}}) {
    EXPECT_EQ(poller.open(3, 9600), rc::kNoError);
  }
  ~SimPoller() {
    poller.cancel();
    ioc.restart();
    ioc.poll();
  }

  // Starts a poll; the result lands in the returned slot when it ends.
  std::shared_ptr<std::optional<Reads>> start(std::vector<int> addresses, ModuleReadOptions options = kPlain,
                                              AnalogReadings area = {}) {
    auto slot = std::make_shared<std::optional<Reads>>();
    poller.read_modules(std::move(addresses), options, area, [slot](Reads r) { *slot = std::move(r); });
    EXPECT_FALSE(*slot) << "completed inside the call";
    return slot;
  }
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    ioc.restart();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) ioc.run_one_for(10ms);
    return done();
  }
  Reads poll(std::vector<int> addresses, ModuleReadOptions options = kPlain, AnalogReadings area = {}) {
    auto slot = start(std::move(addresses), options, area);
    EXPECT_TRUE(run_until([&] { return slot->has_value(); }));
    return slot->value_or(Reads{});
  }
  // The same reads through the blocking client, one after the other.
  Reads blocking_reads(const std::vector<int>& addresses, ModuleReadOptions options, AnalogReadings area = {}) {
    SerialDeviceLine line(ComPortMap{{3, (dir / "com3").string()}});
    EXPECT_EQ(line.open(3, 9600), rc::kNoError);
    Reads out;
    for (const int a : addresses) {
      const int code = line.read_module(a, options.checksum, options.timeout, area);
      out.push_back({code, area});
    }
    return out;
  }
};

std::vector<int> codes(const Reads& reads) {
  std::vector<int> out;
  for (const auto& r : reads) out.push_back(r.code);
  return out;
}

TEST(SerialModulePoller, SameReadsAsTheBlockingClient) {
  SimPoller s({"--module", "1",
               "--module", "2",
               "--module", "3",
               "--module", "4",
               "--module", "A",
               "--input",  "1:*=const:-2.5",
               "--input",  "1:3=const:12.5",
               "--input",  "A:*=const:19.999",
               "--input",  "3:*=const:7",
               "--input",  "4:*=const:8",
               "--fault",  "2=silent",
               "--fault",  "3=garbage",
               "--fault",  "4=error"});
  // Answering, silent, absent (5), garbage and "?AA" modules in one poll: a
  // failed read hands on the area the read before it left.
  const std::vector<int> addresses{1, 2, 0xA, 5, 3, 1, 4, 0xA};
  const AnalogReadings start{1, 2, 3, 4, 5, 6, 7, 8};
  const auto async = s.poll(addresses, kPlain, start);
  EXPECT_EQ(codes(async),
            (std::vector<int>{0, rc::kTimeOut, 0, rc::kTimeOut, rc::kResultStringCheckError, 0, rc::kCommandError, 0}));
  ASSERT_EQ(async.size(), addresses.size());
  EXPECT_EQ(async[0].area, (AnalogReadings{-2.5f, -2.5f, -2.5f, 12.5f, -2.5f, -2.5f, -2.5f, -2.5f}));
  EXPECT_EQ(async[1].area, async[0].area);
  EXPECT_FLOAT_EQ(async[2].area[7], 19.999f);
  EXPECT_EQ(async[4].area, async[2].area);
  EXPECT_EQ(async[6].area, async[0].area);
  s.poller.cancel();
  EXPECT_EQ(async, s.blocking_reads(addresses, kPlain, start));

  // A module silent from the start hands on the caller's area untouched.
  const auto first_silent = s.poll({2}, kPlain, start);
  EXPECT_EQ(first_silent, (Reads{{rc::kTimeOut, start}}));

  // Values changed at run time are read on the next poll.
  ASSERT_TRUE(s.sim.command("1 0 4.5"));
  EXPECT_FLOAT_EQ(s.poll({1})[0].area[0], 4.5f);
}

TEST(SerialModulePoller, ChecksumsAndBadSums) {
  SimPoller s({"--module", "1", "--module", "2", "--checksum", "--input", "1:*=const:1.5", "--fault", "2=badsum"});
  const ModuleReadOptions with_sum{true, 150ms};
  const auto async = s.poll({1, 2, 1}, with_sum);
  EXPECT_EQ(codes(async), (std::vector<int>{0, rc::kCheckSumError, 0}));
  EXPECT_FLOAT_EQ(async[1].area[5], 1.5f);
  // Modules with checksums on ignore requests without one.
  EXPECT_EQ(codes(s.poll({1}, ModuleReadOptions{false, 150ms})), (std::vector<int>{rc::kTimeOut}));
  s.poller.cancel();
  EXPECT_EQ(async, s.blocking_reads({1, 2, 1}, with_sum));
}

TEST(SerialModulePoller, SilentModulesNeverHoldUpTheLoop) {
  SimPoller s({"--module", "1", "--module", "2", "--module", "3", "--fault", "1=silent", "--fault", "2=silent",
               "--fault", "3=silent"});
  // A 5 ms heartbeat on the same loop while three modules time out.
  test::Heartbeat beat(s.ioc, 5ms);
  const auto t0 = std::chrono::steady_clock::now();
  auto slot = s.start({1, 2, 3}, ModuleReadOptions{false, 150ms});
  ASSERT_TRUE(s.run_until([&] { return slot->has_value(); }));
  const auto took = std::chrono::steady_clock::now() - t0;
  beat.stop();
  EXPECT_EQ(codes(**slot), (std::vector<int>(3, rc::kTimeOut)));
  // Each module waits out its own time-out, one after the other ...
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 2s);
  // ... while the loop goes on with its other work.
  EXPECT_GE(beat.beats(), 30);
  EXPECT_LT(beat.worst(), 75ms);
}

TEST(SerialModulePoller, LateReplyIsNotTakenForTheNextOne) {
  SimPoller s({"--module", "1", "--input", "1:*=const:3", "--delay", "300"});
  EXPECT_EQ(codes(s.poll({1}, ModuleReadOptions{false, 100ms})), (std::vector<int>{rc::kTimeOut}));
  ASSERT_TRUE(s.sim.command("delay 0"));
  ASSERT_TRUE(s.sim.command("1 0 7.25"));
  std::this_thread::sleep_for(800ms);  // the late reply (3.000) is in the pty now, even on a loaded machine
  const auto reads = s.poll({1});
  EXPECT_EQ(reads[0].code, 0);
  EXPECT_FLOAT_EQ(reads[0].area[0], 7.25f);
}

TEST(SerialModulePoller, FarEndClosingMidPollEndsEachReadAtOnce) {
  SimPoller s({"--module", "1", "--input", "1:*=const:3", "--delay", "150"});
  auto slot = s.start({1, 1, 1, 1}, ModuleReadOptions{false, 1000ms});
  s.run_until([] { return false; }, 50ms);  // the first request is out, its reply 100 ms away
  const auto t0 = std::chrono::steady_clock::now();
  s.sim.stop(SIGKILL);  // like an unplugged adapter
  ASSERT_TRUE(s.run_until([&] { return slot->has_value(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms);  // not after waiting out a time-out
  ASSERT_EQ((*slot)->size(), 4u);
  for (const auto& r : **slot) {
    EXPECT_TRUE(r.code == rc::kSendCommandError || r.code == rc::kReadComPortStatusError) << r.code;
    EXPECT_EQ(r.area, AnalogReadings{});
  }
  // Every later poll says the same, quickly.
  const auto again = s.poll({1, 1});
  for (const auto& r : again) EXPECT_TRUE(r.code == rc::kSendCommandError || r.code == rc::kReadComPortStatusError);
}

TEST(SerialModulePoller, CancelReopenAndEndDuringAPoll) {
  SimPoller s({"--module", "1", "--module", "2", "--input", "1:*=const:6", "--fault", "2=silent"});
  // Cancelled: its completion never comes; the next poll is a fresh one.
  auto cancelled = s.start({2, 2, 1});
  s.run_until([] { return false; }, 50ms);
  s.poller.cancel();
  EXPECT_EQ(codes(s.poll({1})), (std::vector<int>{0}));
  s.run_until([] { return false; }, 400ms);
  EXPECT_FALSE(*cancelled);

  // Reopening the port drops the poll in flight too.
  auto dropped = s.start({2, 1});
  s.run_until([] { return false; }, 50ms);
  EXPECT_EQ(s.poller.open(3, 19200), rc::kNoError);
  EXPECT_EQ(codes(s.poll({1, 1})), (std::vector<int>{0, 0}));
  s.run_until([] { return false; }, 300ms);
  EXPECT_FALSE(*dropped);

  // A poller that goes away mid-poll: its queued handlers run harmlessly.
  {
    SerialModulePoller doomed(s.ioc, ComPortMap{{3, (s.dir / "com3").string()}});
    ASSERT_EQ(doomed.open(3, 9600), rc::kNoError);
    auto orphan = std::make_shared<std::optional<Reads>>();
    doomed.read_modules({2, 1}, kPlain, {}, [orphan](Reads r) { *orphan = std::move(r); });
    s.run_until([] { return false; }, 30ms);
    EXPECT_TRUE(doomed.polling());
  }
  s.run_until([] { return false; }, 300ms);
  EXPECT_EQ(codes(s.poll({1})), (std::vector<int>{0}));
}

TEST(SerialModulePoller, ClosedOrMissingPort) {
  TempDir dir;
  asio::io_context ioc;
  SerialModulePoller poller(ioc, ComPortMap{{3, (dir / "missing").string()}});
  EXPECT_EQ(poller.open(3, 9600), rc::kPortError);
  EXPECT_FALSE(poller.is_open());
  std::optional<Reads> got;
  const AnalogReadings area{9, 9, 9, 9, 9, 9, 9, 9};
  poller.read_modules({1, 2}, kPlain, area, [&](Reads r) { got = std::move(r); });
  EXPECT_FALSE(got);  // never inside the call
  ioc.run_for(100ms);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (Reads{{rc::kComPortNotOpen, area}, {rc::kComPortNotOpen, area}}));
  SimProcess sim(dir / "com5", {});
  SerialModulePoller sim_poller(ioc, ComPortMap{{5, (dir / "com5").string()}});
  EXPECT_EQ(sim_poller.open(5, 12345), rc::kBaudRateError);
  EXPECT_FALSE(sim_poller.is_open());
}

}  // namespace
}  // namespace orvane
