// Scenarios run by orvane-fleet, the real program: three stations with
// simulated modules delivering to a real FTP server, a scenario of steps
// and a replay run twice from fresh station directories; the host gets
// the same events both times. And the scenario's mistakes, reported by
// file and line at start and over HTTP.
#include "http_client.hpp"
#include "support/ftp_test_server.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <map>
#include <sstream>

using namespace orvane::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// One module 01: T01 (input 0) and T02 (input 1), thresholds 500 and 800
// on T01; T03 has a sensor and no input, so only a set value moves it.
void write_template(const fs::path& dir, int ftp_port) {
  write_fleet_template(dir, ftp_port, "T01,A,I,1,1,0,Y\r\nT02,A,I,1,1,1,Y\r\n",
                       "1,T01,A,I,Y,0,1000,500,800\r\n2,T02,A,I,Y,0,1000\r\n3,T03,A,I,Y,0,1000,500,800\r\n", 500);
}

std::string fleet_file(const fs::path& dir, const std::string& run, int base) {
  return "threads = 2\nupload_sessions = 2\n[[stations]]\ncount = 3\n"
         "dir = \"" +
         (dir / run).string() +
         "/{n:03}\"\n"
         "template = \"" +
         (dir / "template").string() +
         "\"\n"
         "listen = \"127.0.0.1\"\nport = \"{" +
         std::to_string(base) +
         " + n}\"\nlog = \"file\"\n"
         "reboot_cmd = \"true\"\npoweroff_cmd = \"true\"\nflag_file = \"" +
         (dir / "flag").string() +
         "\"\n"
         "[stations.identity]\nFactoryID = \"F{n:03}\"\nSensorID = \"S{n:03}\"\n"
         "[stations.ftp]\neventpath = \"/kyvex/debug/data/" +
         run +
         "/{n}\"\n"
         "[stations.modules]\nmodules = [\"01\"]\ninputs = [\"01:0=const:5\", \"01:1=const:5\"]\nseed = \"{n}\"\n";
}

// Steps a second apart: T03 past the second threshold on station 1; module
// 01 silent on 2 and 3, so T01's new source reaches station 1 only until
// the faults are cleared; a walk; T03 set on all; recorded values.
constexpr const char* kScenario = R"(name = "twice the same"
seed = 42

[[steps]]
at = 1
select = { stations = "1" }
set_value = { channel = 3, value = 900 }

[[steps]]
at = 2
select = { stations = "2-3" }
fault = { target = "module", kind = "silent", module = "01" }

[[steps]]
at = 3
set_source = { channel = 1, source = "const:17" }

[[steps]]
at = 3.5
select = { identity = "F00? *" }
set_source = { channel = 2, source = "walk:10:0.01" }

[[steps]]
at = 4
set_value = { channel = 3, value = 600 }

[[steps]]
at = 5
clear_faults = { target = "all" }

[[steps]]
at = 6
replay = "values.csv"
speed = 2
)";

// Each station's events as the host got them, in the order of their
// names, without their time stamps: "EVENTA F001 F001S001 T03 IS 900".
std::map<std::string, std::vector<std::string>> host_events(const fs::path& folder) {
  std::map<std::string, std::vector<std::string>> out;
  for (int n = 1; n <= 3; ++n) {
    auto& events = out[std::to_string(n)];
    for (const auto& [name, bytes] : FtpTestServer::files_in(folder / std::to_string(n))) {
      std::string text;
      for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x20) text += c;
      std::istringstream words(text);
      std::string word, line;
      for (int i = 0; words >> word; ++i)
        if (i != 1) line += (line.empty() ? "" : " ") + word;
      events.push_back(line);
    }
  }
  return out;
}

bool has(const std::vector<std::string>& events, const std::string& what) {
  for (const auto& e : events)
    if (e.find(what) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(Scenario, TwoRunsFromFreshStationsDeliverTheSameEventsToTheHost) {
  FtpTestServer ftp({"--address", "127.0.0.2"});
  TempDir dir;
  write_template(dir.path() / "template", ftp.port());
  write_text(dir.path() / "flag", "1\r\n");
  write_text(dir.path() / "scenario.toml", kScenario);
  // At 6 s and twice as fast: T03 of station 2 at 6.5 s, of station 3 at 7 s.
  write_text(dir.path() / "values.csv", "time,station,channel,value\n1,002,3,950\n2,003,3,100\n");

  std::vector<std::map<std::string, std::vector<std::string>>> runs;
  for (const std::string run : {"a", "b"}) {
    const int base = free_tcp_port();
    const int http_port = free_tcp_port();
    for (int n = 1; n <= 3; ++n) fs::create_directories(ftp.folder() / run / std::to_string(n));
    write_text(dir.path() / (run + ".toml"), fleet_file(dir.path(), run, base) + "");
    ChildProcess fleet({built_program("orvane-fleet").string(), (dir.path() / (run + ".toml")).string(), "--scenario",
                        (dir.path() / "scenario.toml").string(), "--http", std::to_string(http_port)});
    ASSERT_TRUE(fleet.wait_for_output("HTTP endpoint on")) << fleet.output();
    const auto scenario = [&] { return json::parse(http_request(http_port, "GET", "/api/v1/scenario").body); };
    if (run == "a") {
      // What the status page reads.
      const auto s = scenario();
      EXPECT_EQ(s["loaded"], true);
      EXPECT_EQ(s["name"], "twice the same");
      EXPECT_EQ(s["seed"], 42);
      EXPECT_EQ(s["steps"], 8);  // six steps and two rows
      EXPECT_TRUE(s["started_at"].is_string());
      EXPECT_TRUE(s["next_at"].is_string());
      // A bad step is refused with its line; the running scenario goes on.
      const auto refused = http_request(http_port, "POST", "/api/v1/scenario",
                                        "seed = 1\n[[steps]]\nat = 1\nselect = { names = [\"001\"] }\n"
                                        "set_source = { channel = 40, source = \"const:1\" }\n");
      EXPECT_EQ(refused.status, 400);
      EXPECT_NE(refused.body.find("scenario:5: steps.set_source: \\\"channel\\\" must be 1..32"), std::string::npos)
          << refused.body;
      const auto unknown = http_request(http_port, "POST", "/api/v1/scenario",
                                        "seed = 1\n[[steps]]\nat = 1\nselect = { names = [\"nine\"] }\n"
                                        "clear_faults = { target = \"all\" }\n");
      EXPECT_NE(unknown.body.find("scenario:2: steps.select: no station named nine"), std::string::npos)
          << unknown.body;
      EXPECT_EQ(scenario()["name"], "twice the same");
    }
    ASSERT_TRUE(wait_until([&] { return scenario()["done"] == 8; }, std::chrono::seconds(15))) << scenario().dump();
    const auto status = scenario();
    EXPECT_EQ(status["failed"], 0) << status.dump();
    EXPECT_TRUE(status["running"].is_null());
    EXPECT_TRUE(status["next_at"].is_null());
    // The last change of each station has reached the host.
    ASSERT_TRUE(wait_until(
        [&] {
          const auto events = host_events(ftp.folder() / run);
          return has(events.at("1"), "T03 IS 600") && has(events.at("2"), "T03 IS 950") &&
                 has(events.at("3"), "T03 IS 100") && has(events.at("2"), "T01 IS 850") &&
                 has(events.at("3"), "T01 IS 850");
        },
        std::chrono::seconds(10)));
    ASSERT_EQ(fleet.signal_and_wait(SIGTERM), 0) << fleet.output();
    for (int n = 1; n <= 3; ++n) {
      char id[8];
      std::snprintf(id, sizeof id, "%03d", n);
      const auto left = dir.path() / run / id / "Event.Sav";
      EXPECT_TRUE(!fs::exists(left) || read_text(left).empty()) << "station " << n << " kept " << read_text(left);
    }
    runs.push_back(host_events(ftp.folder() / run));
  }
  // Station 1 saw T01's new source at once; 2 and 3 only once their
  // module spoke again, after T03's 600.
  const auto& a = runs[0];
  const auto at = [](const std::vector<std::string>& events, const std::string& what) {
    for (std::size_t i = 0; i < events.size(); ++i)
      if (events[i].find(what) != std::string::npos) return static_cast<int>(i);
    ADD_FAILURE() << "no event " << what;
    return -1;
  };
  EXPECT_LT(at(a.at("1"), "T03 IS 900"), at(a.at("1"), "T01 IS 850"));
  EXPECT_LT(at(a.at("1"), "T01 IS 850"), at(a.at("1"), "T03 IS 600"));
  EXPECT_LT(at(a.at("2"), "T03 IS 600"), at(a.at("2"), "T01 IS 850"));
  EXPECT_LT(at(a.at("2"), "T01 IS 850"), at(a.at("2"), "T03 IS 950"));
  EXPECT_EQ(runs[0], runs[1]);
}

TEST(Scenario, AStepOrRowThatCannotRunIsReportedByItsFileAndLineAtStart) {
  FtpTestServer ftp;
  TempDir dir;
  write_template(dir.path() / "template", ftp.port());
  write_text(dir.path() / "flag", "1\r\n");
  write_text(dir.path() / "fleet.toml", fleet_file(dir.path(), "st", free_tcp_port()));
  const auto start = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv{built_program("orvane-fleet").string(), (dir.path() / "fleet.toml").string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ChildProcess p(argv);
    EXPECT_EQ(p.wait(std::chrono::seconds(30)), 2) << p.output();
    return p.output();
  };
  const auto scenario = (dir.path() / "bad.toml").string();
  // A channel no station has a sensor on: found once the stations are up.
  write_text(scenario, "seed = 3\n\n[[steps]]\nat = \"00:00:01\"\nset_value = { channel = 9, value = 1 }\n");
  auto out = start({"--scenario", scenario});
  EXPECT_NE(out.find(scenario + ":3: steps.set_value: station 001: channel 9 has no sensor"), std::string::npos) << out;
  // A walk's seed comes from the scenario's: a scenario without one is refused.
  write_text(scenario, "[[steps]]\nat = 1\nclear_faults = { target = \"all\" }\n");
  EXPECT_NE(start({"--scenario", scenario}).find(scenario + ":1: seed: missing"), std::string::npos);
  const auto csv = (dir.path() / "rows.csv").string();
  write_text(csv, "0,001,3,5\n0.5,001,3,12.5\n");
  out = start({"--replay", csv});
  EXPECT_NE(out.find(csv + ":2: \"value\" must be an integer"), std::string::npos) << out;
  write_text(csv, "0,001,3,5\n1,007,3,6\n");
  out = start({"--replay", csv, "--replay-speed", "4"});
  EXPECT_NE(out.find(csv + ":2: no station named 007"), std::string::npos) << out;
}
