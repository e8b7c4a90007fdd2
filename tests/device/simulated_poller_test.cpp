// The in-process line against i7000-sim over a real pty: the same modules,
// configured by the same texts, give the station the same reads (result
// codes and readings) either way, faults and seeded walks included.
#include "device/simulated_poller.hpp"
#include "device/result_codes.hpp"
#include "device/serial_poller.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Reads = std::vector<ModuleRead>;

// Runs one poll on `poller` to its end.
Reads poll(asio::io_context& ioc, ModulePoller& poller, std::vector<int> addresses, ModuleReadOptions options,
           AnalogReadings area) {
  std::optional<Reads> result;
  poller.read_modules(std::move(addresses), options, area, [&](Reads r) { result = std::move(r); });
  EXPECT_FALSE(result) << "completed inside the call";
  ioc.restart();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!result && std::chrono::steady_clock::now() < deadline) ioc.run_one_for(10ms);
  return result.value_or(Reads{});
}

struct BothLines {
  BothLines(std::vector<std::string> modules, std::vector<std::string> inputs, std::uint64_t seed, bool checksum) {
    std::vector<std::string> args{"--seed", std::to_string(seed)};
    if (checksum) args.push_back("--checksum");
    for (const auto& m : modules) args.insert(args.end(), {"--module", m});
    for (const auto& i : inputs) args.insert(args.end(), {"--input", i});
    sim.emplace(dir / "com3", args);
    serial.emplace(ioc, ComPortMap{{3, (dir / "com3").string()}});
    EXPECT_EQ(serial->open(3, 9600), rc::kNoError);
    in_process.checksum = checksum;
    for (const auto& m : modules) in_process.add_module(m);
    for (const auto& i : inputs) in_process.set_input(i, seed);
  }
  // The same command to both lines.
  void command(const std::string& line) {
    ASSERT_TRUE(sim->command(line));
    ASSERT_EQ(in_process.command(line), "ok " + line);
  }
  void expect_same(std::vector<int> addresses, ModuleReadOptions options, const std::string& what) {
    const auto over_pty = poll(ioc, *serial, addresses, options, area_pty);
    const auto in_proc = poll(ioc, simulated, addresses, options, area_sim);
    ASSERT_EQ(over_pty.size(), addresses.size()) << what;
    EXPECT_EQ(over_pty, in_proc) << what;
    if (!over_pty.empty()) area_pty = over_pty.back().area;
    if (!in_proc.empty()) area_sim = in_proc.back().area;
  }

  test::TempDir dir;
  asio::io_context ioc;
  std::optional<test::SimProcess> sim;
  std::optional<SerialModulePoller> serial;
  SimulatedModules in_process;
  SimulatedModulePoller simulated{ioc, in_process, [] { return 0.0; }};
  AnalogReadings area_pty{}, area_sim{};
};

TEST(SimulatedLine, TheSameSeedGivesTheSameReadingsAsTheSimulatorOverAPty) {
  BothLines both({"1", "2"}, {"1:*=walk:10:0.5", "2:*=const:3.25", "2:5=walk:-4:2", "2:6=alternate:1:9"}, 7,
                 false);
  for (int round = 0; round < 5; ++round) both.expect_same({1, 2}, {false, 200ms}, "round " + std::to_string(round));
  EXPECT_NE(both.area_pty, AnalogReadings{});
  // Another seed walks another way.
  SimulatedModules other;
  other.add_module("1");
  other.set_input("1:*=walk:10:0.5", 8);
  EXPECT_NE(other.answer("#01", 0), BothLines({"1"}, {"1:*=walk:10:0.5"}, 7, false).in_process.answer("#01", 0));
}

TEST(SimulatedLine, FaultsAndMissingModulesGiveTheSameReadsAsOverAPty) {
  for (const bool checksum : {false, true}) {
    BothLines both({"1", "3"}, {"1:*=const:1.5", "3:*=const:-2.25"}, 1, checksum);
    // Time-outs with room for a busy machine: a late simulator would read as
    // a silent module.
    const ModuleReadOptions options{checksum, 250ms};
    const auto label = [&](const std::string& what) { return what + (checksum ? " with checksums" : ""); };
    both.expect_same({1, 3, 4}, options, label("answering and missing modules"));
    for (const auto* fault : {"silent", "garbage", "badsum", "error", "none"}) {
      both.command(std::string("fault 1 ") + fault);
      both.expect_same({1, 3}, options, label(fault));
    }
    both.command("delay 500");  // later than the time-out: never taken
    both.expect_same({1}, options, label("late replies"));
    both.command("delay 0");
    both.expect_same({3}, {!checksum, 250ms}, label("the other checksum setting"));
  }
}

}  // namespace
}  // namespace orvane
