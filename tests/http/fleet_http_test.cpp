// orvane-fleet with its HTTP endpoint, the real program over real HTTP:
// three stations with simulated modules (the third with a second module),
// their list, actions on a selection of them, and a module fault injected
// and cleared.
#include "http_client.hpp"
#include "metrics_page.hpp"
#include "support/ftp_test_server.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

using namespace orvane::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct HttpFleet {
  TempDir dir;
  int http_port = free_tcp_port();
  std::unique_ptr<ChildProcess> fleet;

  // `ftp_port`: the stations' FTP host's, on 127.0.0.2 (none there by default).
  // `log = "file"`: each station's operator log in its directory's station.log.
  explicit HttpFleet(int ftp_port = 1, bool log_file = false) {
    const auto tmpl = dir.path() / "template";
    // T01 has a threshold: a fast source on its input makes events.
    write_fleet_template(tmpl, ftp_port, "T01,A,I,1,1,0,Y\r\nT02,A,I,1,1,1,Y\r\n",
                         "1,T01,A,I,Y,0,1000,500\r\n2,T02,A,I,Y,0,1000\r\n");
    write_text(dir.path() / "flag", "1\r\n");
    const int base = free_tcp_port();
    std::string toml = "threads = 2\n";
    // Stations 1 and 2 read module 01 only; station 3 has 02 as well.
    for (const auto& [first, count, modules] : {std::tuple{1, 2, "[\"01\"]"}, std::tuple{3, 1, "[\"01\", \"02\"]"}})
      toml += "[[stations]]\nfirst = " + std::to_string(first) + "\ncount = " + std::to_string(count) + "\ndir = \"" +
              (dir.path() / "st").string() + "/{n:03}\"\ntemplate = \"" + tmpl.string() +
              "\"\nlisten = \"127.0.0.1\"\nport = \"{" + std::to_string(base) + " + n}\"\n" +
              (log_file ? "log = \"file\"\n" : "") + "reboot_cmd = \"true\"\npoweroff_cmd = \"true\"\nflag_file = \"" +
              (dir.path() / "flag").string() +
              "\"\n[stations.identity]\nFactoryID = \"F{n:03}\"\nSensorID = \"S{n:03}\"\n"
              "[stations.ftp]\neventpath = \"/kyvex/debug/data/{n}\"\n"
              "[stations.modules]\nmodules = " +
              modules + "\ninputs = [\"01:1=sine:10:8:30\"]\nseed = \"{n}\"\n";
    write_text(dir.path() / "fleet.toml", toml);
    fleet = std::make_unique<ChildProcess>(std::vector<std::string>{built_program("orvane-fleet").string(),
                                                                    (dir.path() / "fleet.toml").string(), "--http",
                                                                    std::to_string(http_port)});
    if (!fleet->wait_for_output("HTTP endpoint on")) throw std::runtime_error(fleet->output());
  }
  json get(const std::string& path) {
    const auto reply = http_request(http_port, "GET", path);
    if (reply.status != 200) throw std::runtime_error(path + ": " + std::to_string(reply.status) + " " + reply.body);
    return json::parse(reply.body);
  }
  HttpReply act(const json& body) { return http_request(http_port, "POST", "/api/v1/actions", body.dump()); }
  std::set<std::string> names(const json& list) {
    std::set<std::string> out;
    for (const auto& row : list["stations"]) out.insert(row["station"].get<std::string>());
    return out;
  }
  json channel(const std::string& station, int n) {
    const auto state = get("/api/v1/stations/" + station);
    for (const auto& c : state["channels"])
      if (c["channel"] == n) return c;
    return nullptr;
  }
};

}  // namespace

TEST(FleetHttp, TheListPagesAndFiltersAndAnActionChangesExactlyTheSelectedStations) {
  HttpFleet f;
  auto page = f.get("/api/v1/stations?offset=1&limit=1");
  EXPECT_EQ(page["total"], 3);
  ASSERT_EQ(page["stations"].size(), 1u);
  EXPECT_EQ(page["stations"][0]["station"], "002");
  EXPECT_EQ(page["stations"][0]["index"], 2);
  EXPECT_EQ(page["stations"][0]["factory_id"], "F002");
  EXPECT_EQ(f.names(f.get("/api/v1/stations?q=F003*")), std::set<std::string>{"003"});
  EXPECT_EQ(f.names(f.get("/api/v1/stations?q=S00%3F")).size(), 3u);  // S00? (identity)
  EXPECT_EQ(f.names(f.get("/api/v1/stations?q=00[12]")).size(), 0u);  // no bracket classes: taken as they are
  EXPECT_EQ(http_request(f.http_port, "GET", "/api/v1/stations?limit=1001").status, 400);

  // Station 1 has no module 02: refused whole, and station 3, which has
  // one, is left without a fault.
  const auto refused = f.act({{"select", json::object()},
                              {"action", {{"fault", {{"target", "module"}, {"kind", "error"}, {"module", "02"}}}}}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body.find("station 001: no module 02"), std::string::npos) << refused.body;
  EXPECT_EQ(f.get("/api/v1/stations?fault=any")["total"], 0);
  EXPECT_EQ(
      f.act({{"select", {{"names", {"001", "nine"}}}}, {"action", {{"clear_faults", {{"target", "all"}}}}}}).status,
      404);
  const auto uplink = f.act({{"action", {{"fault", {{"target", "uplink"}, {"kind", "slow"}}}}}});
  EXPECT_EQ(uplink.status, 400);
  EXPECT_NE(uplink.body.find("bytes_per_s"), std::string::npos) << uplink.body;

  const auto set =
      f.act({{"select", {{"stations", "2-3"}}}, {"action", {{"set_source", {{"channel", 2}, {"source", "const:5"}}}}}});
  ASSERT_EQ(set.status, 200) << set.body;
  const auto changed = json::parse(set.body);
  EXPECT_EQ(changed["count"], 2);
  ASSERT_EQ(changed["changed"].size(), 2u);
  EXPECT_EQ(changed["changed"][0]["station"], "002");
  EXPECT_EQ(changed["changed"][1]["station"], "003");
  EXPECT_EQ(changed["changed"][1]["what"], "channel 2 source const:5 (was sine:10:8:30)");
  EXPECT_EQ(f.channel("001", 2)["source"], "sine:10:8:30");
  EXPECT_EQ(f.channel("002", 2)["source"], "const:5");
  EXPECT_EQ(f.channel("003", 2)["source"], "const:5");
}

TEST(FleetHttp, AModuleFaultShowsInTheStationsReadingsAndIsCleared) {
  HttpFleet f;
  ASSERT_EQ(
      f.act({{"select", {{"names", {"001"}}}}, {"action", {{"set_source", {{"channel", 2}, {"source", "const:5"}}}}}})
          .status,
      200);
  // 5 of the modules' 0..20 on a sensor of 0..1000.
  const std::string steady = "250";
  ASSERT_TRUE(wait_until([&] { return f.channel("001", 2)["value"] == steady; }));

  const auto fault = f.act({{"select", {{"identity", "F001 *"}}},
                            {"action", {{"fault", {{"target", "module"}, {"kind", "silent"}, {"module", "01"}}}}}});
  ASSERT_EQ(fault.status, 200) << fault.body;
  EXPECT_EQ(json::parse(fault.body)["changed"][0]["what"], "fault module 01 silent");
  EXPECT_EQ(f.names(f.get("/api/v1/stations?fault=any")), std::set<std::string>{"001"});
  EXPECT_EQ(f.get("/api/v1/stations/001/faults")["faults"][0]["kind"], "silent");
  // Read from the fleet's whole page, checked as a scraper reads it.
  const auto failures = [&](const std::string& station) {
    auto m = parse_metrics(http_request(f.http_port, "GET", "/metrics").body);
    const std::string key = "orvane_module_read_failures_total{station=\"" + station + "\"}";
    return m.count(key) ? static_cast<int>(m[key]) : -1;
  };
  // A module that says nothing: its reads fail, and a new source gives
  // the station no new reading.
  ASSERT_TRUE(wait_until([&] { return failures("001") > 0; }));
  ASSERT_EQ(
      f.act({{"select", {{"names", {"001"}}}}, {"action", {{"set_source", {{"channel", 2}, {"source", "const:7"}}}}}})
          .status,
      200);
  const int failed = failures("001");
  ASSERT_TRUE(wait_until([&] { return failures("001") > failed + 1; }));
  EXPECT_EQ(f.channel("001", 2)["value"], steady);
  EXPECT_EQ(failures("002"), 0);
  const auto memo = f.get("/api/v1/stations/001")["memo"].dump();
  EXPECT_NE(memo.find("The Error Code:15"), std::string::npos) << memo;

  const auto cleared = http_request(f.http_port, "DELETE", "/api/v1/stations/001/faults");
  ASSERT_EQ(cleared.status, 200) << cleared.body;
  EXPECT_EQ(json::parse(cleared.body)["changed"][0]["what"], "cleared module 01 silent");
  EXPECT_EQ(f.get("/api/v1/stations?fault=any")["total"], 0);
  // The module answers again, with the source set while it was silent.
  EXPECT_TRUE(wait_until([&] { return f.channel("001", 2)["value"] == "350"; }));
}

// The uplink and the command port misbehave as a bad host or network would,
// while the real FTP host is never touched; cleared, the station delivers
// what waited, each event once.
TEST(FleetHttp, UplinkAndPortFaultsPlayABadHostAndEndWhenCleared) {
  FtpTestServer ftp({"--address", "127.0.0.2"});
  for (int n = 1; n <= 3; ++n) fs::create_directories(ftp.folder() / std::to_string(n));
  HttpFleet f(ftp.port());
  const auto station = [&] { return f.get("/api/v1/stations/001"); };
  const auto delivered_lines = [&] {
    std::size_t n = 0;
    for (const auto& [name, bytes] : FtpTestServer::files_in(ftp.folder() / "1")) n += lines_of(bytes).size();
    return n;
  };
  const auto refusing =
      f.act({{"select", {{"names", {"001"}}}}, {"action", {{"fault", {{"target", "uplink"}, {"kind", "refusing"}}}}}});
  ASSERT_EQ(refusing.status, 200) << refusing.body;
  EXPECT_EQ(json::parse(refusing.body)["changed"][0]["what"], "fault uplink refusing");
  const auto stored_before = delivered_lines();
  const int failures_before = station()["last_upload"]["failures"];
  ASSERT_EQ(f.act({{"select", {{"names", {"001"}}}},
                   {"action", {{"set_source", {{"channel", 1}, {"source", "sine:10:8:2"}}}}}})
                .status,
            200);
  ASSERT_TRUE(wait_until(
      [&] {
        const auto s = station();
        return s["events"]["waiting"] >= 3 && s["last_upload"]["failures"] >= failures_before + 2;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(delivered_lines(), stored_before);

  // The port: replies a while late, then every host shut out.
  ASSERT_EQ(f.act({{"select", {{"names", {"001"}}}},
                   {"action", {{"fault", {{"target", "port"}, {"kind", "delay_replies"}, {"delay_ms", 700}}}}}})
                .status,
            200);
  const int port = [&] {
    const std::string listen = station()["listen"];
    return std::stoi(listen.substr(listen.rfind(':') + 1));
  }();
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_NE(read_data(port, "F001", "S001").find(" T01 IS "), std::string::npos);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(700));
  ASSERT_EQ(f.act({{"select", {{"names", {"001"}}}},
                   {"action", {{"fault", {{"target", "port"}, {"kind", "close_connections"}}}}}})
                .status,
            200);
  EXPECT_EQ(read_data(port, "F001", "S001"), "");
  EXPECT_EQ(f.get("/api/v1/stations/001/faults")["faults"].size(), 3u);

  const auto cleared = http_request(f.http_port, "DELETE", "/api/v1/stations/001/faults");
  ASSERT_EQ(cleared.status, 200) << cleared.body;
  EXPECT_EQ(json::parse(cleared.body)["changed"][0]["what"],
            "cleared uplink refusing, port delay_replies 700 ms, port close_connections");
  EXPECT_NE(read_data(port, "F001", "S001").find(" T01 IS "), std::string::npos);
  ASSERT_TRUE(wait_until([&] { return station()["events"]["delivered"] > 0; }, std::chrono::seconds(20)));
  ASSERT_EQ(
      f.act({{"select", {{"names", {"001"}}}}, {"action", {{"set_source", {{"channel", 1}, {"source", "const:5"}}}}}})
          .status,
      200);
  // The view may show the buffer emptied a moment before the upload's count:
  // what is waited for is every buffered event counted delivered, once.
  json s;
  EXPECT_TRUE(wait_until(
      [&] {
        s = station();
        return s["events"]["waiting"] == 0 && s["events"]["delivered"] == s["events"]["buffered"];
      },
      std::chrono::seconds(20)))
      << s.dump();
  EXPECT_EQ(delivered_lines(), s["events"]["delivered"].get<std::size_t>());
}

// A real Prometheus scrapes the fleet: what it reads back of each station's
// buffered events is what that station logged, and the fleet's total their sum.
TEST(FleetHttp, APrometheusServerScrapesWhatEachStationLogged) {
  if (!fs::exists("/usr/bin/prometheus"))
    GTEST_SKIP() << "/usr/bin/prometheus is absent (Debian's prometheus package; scripts/setup installs it)";
  HttpFleet f(1, true);
  // Fast crossings of T01's threshold, then none: the counts stand still.
  ASSERT_EQ(f.act({{"action", {{"set_source", {{"channel", 1}, {"source", "sine:10:8:2"}}}}}}).status, 200);
  ASSERT_TRUE(wait_until(
      [&] {
        const auto list = f.get("/api/v1/stations");
        for (const auto& row : list["stations"])
          if (row["events"]["buffered"] < 2) return false;
        return true;
      },
      std::chrono::seconds(30)));
  ASSERT_EQ(f.act({{"action", {{"set_source", {{"channel", 1}, {"source", "const:5"}}}}}}).status, 200);

  TempDir prom;
  const int prom_port = free_tcp_port();
  write_text(prom / "prometheus.yml",
             "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: orvane\n"
             "    static_configs:\n      - targets: ['127.0.0.1:" +
                 std::to_string(f.http_port) + "']\n");
  ChildProcess prometheus({"/usr/bin/prometheus", "--config.file=" + (prom / "prometheus.yml").string(),
                           "--storage.tsdb.path=" + (prom / "data").string(),
                           "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)});
  const auto scraped = [&](const std::string& selector) -> long {
    const auto reply = http_request(prom_port, "GET", "/api/v1/query?query=" + selector);
    if (reply.status != 200) return -1;
    const auto result = json::parse(reply.body)["data"]["result"];
    return result.size() == 1 ? std::stol(result[0]["value"][1].get<std::string>()) : -1;
  };
  std::string seen;
  const bool matched = wait_until(
      [&] {
        long sum = 0;
        seen.clear();
        for (const char* station : {"001", "002", "003"}) {
          const auto logged = static_cast<long>(
              count_of(read_text(f.dir / "st" / station / "station.log"), "Events : Add Event to buffer"));
          const auto got = scraped(std::string("orvane_events_buffered_total%7Bstation%3D%22") + station + "%22%7D");
          seen +=
              std::string(station) + ": logged " + std::to_string(logged) + ", scraped " + std::to_string(got) + "; ";
          if (logged == 0 || got != logged) return false;
          sum += logged;
        }
        return scraped("orvane_fleet_events_buffered_total") == sum;
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(matched) << seen << "\n" << prometheus.output();
}
