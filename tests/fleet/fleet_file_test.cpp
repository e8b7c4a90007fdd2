// The fleet file: templates expanded per station, and mistakes reported
// with their line and key before anything starts.
#include "fleet/fleet_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using orvane::fleet::expand_template;
using orvane::fleet::FleetFileError;
using orvane::fleet::parse_fleet_text;
using orvane::fleet::parse_shard;
using orvane::fleet::Shard;
using orvane::fleet::shard_from_environment;

TEST(FleetTemplate, ArithmeticOnTheIndexWithWidths) {
  const std::string dir = "/d/7";
  EXPECT_EQ(expand_template("/var/lib/orvane-fleet/{n:05}", 42), "/var/lib/orvane-fleet/00042");
  EXPECT_EQ(expand_template("127.0.{n / 250}.{n % 250 + 1}", 501), "127.0.2.2");
  EXPECT_EQ(expand_template("{5000 + 2 * (n - 1)}", 3), "5004");
  EXPECT_EQ(expand_template("{-n + 1}|{n:>4}|{{n}}", 3), "-2|   3|{n}");
  EXPECT_EQ(expand_template("{dir}/lock", 7, &dir), "/d/7/lock");
  for (const char* bad : {"{n / 0}", "{n % (n - n)}", "{m}", "{n +}", "{n", "n}", "{n:x}", "{dir}", "{99999999999999999999}"})
    EXPECT_THROW(expand_template(bad, 1), std::invalid_argument) << bad;
}

TEST(FleetFile, StationsExpandedAndMistakesPointAtTheirLine) {
  const auto plan = parse_fleet_text(R"(threads = 2
[[stations]]
count = 2
first = 9
dir = "/f/{n:03}"
listen = "127.0.0.{n}"
port = "{5000 + n}"
log = "stdout"
com = { 3 = "/dev/ttyUSB{n}" }
[stations.identity]
FactoryID = "F{n}"
[stations.ftp]
port = 2121
eventpath = "/e/{n}"
[stations.modules]
modules = ["01"]
inputs = ["01:0=sine:10:8:{n}"]
seed = "{n * 7}"
)",
                                     "f.toml");
  ASSERT_EQ(plan.stations.size(), 2u);
  const auto& s = plan.stations[1];
  EXPECT_EQ(s.index, 10);
  EXPECT_EQ(s.dir, "/f/010");
  EXPECT_EQ(s.lock_file, "/f/010/OrvaneEmulator.lock");
  EXPECT_EQ(s.listen_address, "127.0.0.10");
  EXPECT_EQ(s.port, 5010);
  EXPECT_EQ(s.com.at(0), (std::pair<int, std::string>{3, "/dev/ttyUSB10"}));
  EXPECT_EQ(s.config_keys.at(0), (std::pair<std::string, std::string>{"FactoryID", "F10"}));
  EXPECT_NE(std::find(s.connection_keys.begin(), s.connection_keys.end(), std::pair<std::string, std::string>{"ServerPort", "2121"}),
            s.connection_keys.end());
  ASSERT_TRUE(s.simulated);
  EXPECT_EQ(s.simulated->seed, 70u);

  auto error_of = [](const std::string& text) {
    try {
      parse_fleet_text(text, "f.toml");
    } catch (const FleetFileError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error_of("[[stations]]\ncount = 1\ndir = \"/a\"\n[stations.modules]\nmodules = [\"01\"]\ninputs = [\"01:9=const:1\"]\n")
                .substr(0, 38),
            "f.toml:6: stations.modules.inputs: \"01");
  EXPECT_EQ(error_of("[[stations]]\ncount = 2\ndir = \"/a/{n}\"\nlisten = \"10.0.0.1\"\nport = 7000\n"),
            "f.toml:1: stations.port: station 2 has the address and port 10.0.0.1:7000 of station 1");
  // Every address on a port takes it from each single address.
  EXPECT_NE(error_of("[[stations]]\ncount = 1\ndir = \"/a\"\nport = 7000\n[[stations]]\ncount = 1\nfirst = 2\n"
                     "dir = \"/b\"\nlisten = \"127.0.0.2\"\nport = 7000\n")
                .find("station 2 has the address and port 127.0.0.2:7000 of station 1"),
            std::string::npos);
  EXPECT_EQ(error_of("[[stations]]\ncount = 1\ndir = \"/a\"\nlisten = \"localhost\"\n"),
            "f.toml:4: stations.listen: \"localhost\" is not an IPv4 or IPv6 address");
  EXPECT_EQ(error_of("[[stations]]\ndir = \"/a\"\n"), "f.toml:1: stations.count: missing (how many stations this table describes)");
  EXPECT_EQ(error_of("threads = \"2\"\n"), "f.toml:1: threads: must be a whole number");
  EXPECT_EQ(error_of("[[stations]]\ncount = 1\ndir = \"/a\"\nlog = \"syslog\"\n"),
            "f.toml:4: stations.log: \"syslog\" is not memo, stdout or file");
}

// Shards run disjoint contiguous ranges that together are the fleet, each
// station with the port and directory it has unsharded; ports need only be
// unique within a shard (each runs on its own host).
TEST(FleetShards, ContiguousRangesCoverTheFleetOnceWithTheStationsOwnPorts) {
  const std::string text =
      "[[stations]]\ncount = 3\ndir = \"/a/{n}\"\nport = \"{6000 + n % 4}\"\n"
      "[[stations]]\ncount = 4\nfirst = 101\ndir = \"/b/{n}\"\nport = \"{6000 + n % 4}\"\n";
  std::vector<long> seen;
  for (long i = 0; i < 3; ++i) {
    const auto plan = parse_fleet_text(text, "f.toml", Shard{i, 3});
    EXPECT_EQ(plan.fleet_stations, 7);
    ASSERT_FALSE(plan.stations.empty());
    for (const auto& s : plan.stations) {
      seen.push_back(s.index);
      EXPECT_EQ(s.port, 6000 + s.index % 4) << s.index;
      EXPECT_EQ(s.dir.string(), (s.index > 100 ? "/b/" : "/a/") + std::to_string(s.index));
    }
  }
  EXPECT_EQ(seen, (std::vector<long>{1, 2, 3, 101, 102, 103, 104}));
  // Unsharded, stations 1 and 101 (and 2, 102 ...) share a port.
  EXPECT_THROW(parse_fleet_text(text, "f.toml"), FleetFileError);
  EXPECT_THROW(parse_fleet_text(text, "f.toml", Shard{0, 8}), FleetFileError);  // 8 shards of 7: the first is empty

  EXPECT_EQ(parse_shard("3/20").index, 3);
  for (const char* bad : {"20/20", "-1/2", "1", "1/0", "a/2", "1/2x", "0/100001"})
    EXPECT_THROW(parse_shard(bad), std::invalid_argument) << bad;
  EXPECT_FALSE(shard_from_environment(nullptr, "", "fleet-3"));
  EXPECT_EQ(shard_from_environment("1/2", "20", "fleet-3")->index, 1);  // ORVANE_SHARD comes first
  const auto ordinal = shard_from_environment(nullptr, "20", "orvane-fleet-13");
  EXPECT_EQ(ordinal->index, 13);
  EXPECT_EQ(ordinal->count, 20);
  for (const char* host : {"orvane-fleet", "orvane-fleet-20", "fleet-x"})
    EXPECT_THROW(shard_from_environment(nullptr, "20", host), std::invalid_argument) << host;
}
