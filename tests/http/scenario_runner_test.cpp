// A scenario's timeline in manual time, against a board fed by hand as
// station threads would feed it: each step is taken at its time and not
// before, a time of day is its next coming, and a scenario started in place
// of another drops the other's steps not yet taken; and the walks its
// steps set come from its seed.
#include "http/scenario_runner.hpp"
#include "device/simulated_modules.hpp"
#include "http/station_actions.hpp"
#include "support/manual_clock.hpp"
#include "support/manual_steady_time.hpp"
#include "support/station_test.hpp"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::http;
using namespace std::chrono_literals;

namespace {

// Two stations whose threads never run what is posted: each post is
// counted by station, and the step fails as it would with stations that
// ended (which the progress must show).
struct Board {
  StationBoard board;
  std::vector<std::string> posted;
  Board() {
    for (const std::string name : {"a", "b"}) {
      const auto slot = board.add(name, [this, name](StationBoard::Action) { posted.push_back(name); });
      auto view = std::make_shared<StationView>();
      view->index = static_cast<long>(slot);
      view->faults_injectable = true;
      view->taken = std::chrono::steady_clock::now();
      board.publish(slot, view);
    }
  }
};

}  // namespace

TEST(ScenarioTimeline, StepsRunAtTheirTimesAndANewScenarioDropsTheOldOnesSteps) {
  Board b;
  test::ManualClock clock(make_local_time(2026, 12, 10, 12, 0, 0));
  test::ManualSteadyTime steady;
  std::vector<std::string> lines;
  ScenarioRunner runner(
      b.board, clock, steady, 100ms, [&](const std::string& l) { lines.push_back(l); },
      ScenarioRunner::Threading::caller_polls);
  // Out of order in the file: taken by time, the file's order among equals.
  runner.start(
      parse_scenario("name = \"first\"\nseed = 9\n"
                     "[[steps]]\nat = \"11:00:00\"\nclear_faults = { target = \"all\" }\n"
                     "[[steps]]\nat = 2\nselect = { names = [\"b\"] }\nclear_faults = { target = \"all\" }\n"
                     "[[steps]]\nat = 1\nselect = { stations = \"0\" }\nclear_faults = { target = \"all\" }\n",
                     "first.toml", {}));
  runner.poll();
  auto s = runner.status();
  EXPECT_EQ(s["steps"], 3);
  EXPECT_EQ(s["started_at"], "2026-12-10T12:00:00");
  EXPECT_EQ(s["next_at"], "2026-12-10T12:00:01");
  steady.advance(999ms);
  EXPECT_TRUE(b.posted.empty());
  steady.advance(1ms);
  EXPECT_EQ(b.posted, (std::vector<std::string>{"a"}));
  steady.advance(1s);
  EXPECT_EQ(b.posted, (std::vector<std::string>{"a", "b"}));
  s = runner.status();
  EXPECT_EQ(s["done"], 2);
  // Posted and never run: failed, and said so.
  EXPECT_EQ(s["failed"], 2);
  EXPECT_NE(s["last_error"].get<std::string>().find("first.toml:6: "), std::string::npos) << s.dump();
  EXPECT_NE(s["last_error"].get<std::string>().find("the station ended before it ran the action"), std::string::npos);
  // 11:00 has passed today: tomorrow's.
  EXPECT_EQ(s["next_at"], "2026-12-11T11:00:00");

  runner.start(parse_scenario("name = \"second\"\nseed = 9\n[[steps]]\nat = 5\nclear_faults = { target = \"all\" }\n",
                              "second.toml", {}));
  runner.poll();
  EXPECT_EQ(runner.status()["done"], 0);
  steady.advance(4s);
  EXPECT_EQ(b.posted.size(), 2u);
  steady.advance(1s);
  EXPECT_EQ(b.posted, (std::vector<std::string>{"a", "b", "a", "b"}));
  // The first scenario's 11:00 step never comes.
  steady.advance(48h);
  runner.poll();
  EXPECT_EQ(b.posted.size(), 4u);
  EXPECT_EQ(runner.status()["done"], 1);
  EXPECT_TRUE(runner.status()["next_at"].is_null());
  EXPECT_NE(lines.back().find("scenario second: finished, 1 steps, 1 failed"), std::string::npos) << lines.back();

  runner.stop();
  EXPECT_EQ(runner.status()["loaded"], false);
}

// The walk a set_source step sets: the same for the same scenario seed and
// station, whenever it runs; another seed or another station walks apart.
TEST(ScenarioTimeline, AStepsWalkIsSeededByTheScenarioAndTheStationOnly) {
  test::StationTest s({.deferred = true});
  test::write_text(s.dir.path() / "module.con", "1,4017,A,1,Y\r\n");
  test::write_text(s.dir.path() / "channel.con", "T01,A,I,1,1,0,Y\r\n");
  test::write_text(s.dir.path() / "sensor.con", "1,T01,A,I,Y,0,1000\r\n");
  auto& station = s.make();
  station.channel_table().load_channels();
  station.channel_table().load_sensor_list();
  station.channel_table().link_channels();
  const auto walk = [&](std::uint64_t seed, long index) {
    SimulatedModules modules;
    modules.add_module("01");
    FaultSet faults;
    http::StationControl control{station, {}, index, &modules, &faults};
    parse_action({{"set_source", {{"channel", 1}, {"source", "walk:10:1"}}}}, seed).change(control);
    std::vector<double> values;
    for (int i = 0; i < 5; ++i) values.push_back(modules.modules.at(1).inputs[0].value(i));
    return values;
  };
  const auto first = walk(42, 3);
  s.steady.advance(1h);
  EXPECT_EQ(walk(42, 3), first);
  EXPECT_NE(walk(43, 3), first);
  EXPECT_NE(walk(42, 4), first);
}
