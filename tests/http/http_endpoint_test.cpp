// The real station program with --http: its metrics, health and control API
// over real HTTP, its events delivered to a real FTP server.
#include "core/limits.hpp"
#include "http_client.hpp"
#include "metrics_page.hpp"
#include "support/ftp_test_server.hpp"
#include "support/sim_process.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace orvane::test;
using nlohmann::json;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A headless station reading one simulated module, channel 1 (T01) with
// thresholds at 100 and 200, delivering to a real FTP server, with its HTTP
// endpoint on a free loopback port.
struct HttpStation {
  TempDir dir;
  FtpTestServer ftp;
  SimProcess sim{dir / "i7000", {"--module", "1"}};
  int command_port = free_tcp_port();
  int http_port = free_tcp_port();
  std::string name = dir.path().filename().string();
  std::unique_ptr<ChildProcess> station;

  explicit HttpStation(const std::string& address = "127.0.0.1", std::vector<std::string> extra = {}) {
    std::filesystem::create_directory(dir / "log");
    std::filesystem::create_directory(dir / "history");
    write_text(dir / "emulate.ini", "[Connection]\r\nClientPort=" + std::to_string(command_port) +
                                        "\r\nServerPort=" + std::to_string(ftp.port()) +
                                        "\r\nHost=localhost\r\n[Config]\r\nEventSample=100\r\nHistorySample=100\r\n");
    write_text(dir / "module.con", "1,4017,A,1,Y\r\n");
    write_text(dir / "sensor.con", ",T01,A,I,Y,0,1000,100,200\r\n");
    write_text(dir / "auto.con", "1\r\n");
    write_text(dir / "flag", "1\r\n");
    // A bare port means loopback.
    auto argv = station_command(
        dir.path(), {"--headless", "--com", "3=" + (dir / "i7000").string(), "--http",
                     address.empty() ? std::to_string(http_port) : address + ":" + std::to_string(http_port)});
    argv.insert(argv.end(), extra.begin(), extra.end());
    station = std::make_unique<ChildProcess>(argv);
  }
  HttpReply get(const std::string& path, const std::string& headers = "") {
    return http_request(http_port, "GET", path, "", headers);
  }
  HttpReply set_value(int channel, const std::string& body, const std::string& headers = "") {
    return http_request(http_port, "POST",
                        "/api/v1/stations/" + name + "/channels/" + std::to_string(channel) + "/value", body, headers);
  }
  bool delivered(const std::string& tail) {
    return wait_until([&] {
      for (const auto& c : ftp.contents())
        if (c.find(tail) != std::string::npos) return true;
      return false;
    });
  }
};

}  // namespace

TEST(HttpEndpoint, MetricsCountWhatTheStationLoggedAndDelivered) {
  HttpStation s("");
  ASSERT_TRUE(s.delivered(" T01 IS 0\x03\x04")) << s.station->output();
  ASSERT_EQ(s.set_value(1, R"({"value": 150})").status, 200);
  ASSERT_TRUE(s.delivered(" T01 IS 150\x03\x04")) << s.station->output();
  ASSERT_TRUE(wait_until([&] { return read_text(s.dir / "Event.Sav").empty(); }));

  const std::string label = "{station=\"" + s.name + "\"}";
  std::map<std::string, double> m;
  // The endpoint sees the station's counts within a publish period.
  ASSERT_TRUE(wait_until([&] {
    m = parse_metrics(s.get("/metrics").body);
    return m["orvane_events_delivered_total" + label] == static_cast<double>(s.ftp.files().size()) &&
           m["orvane_events_waiting" + label] == 0;
  })) << s.get("/metrics").body;
  const auto reply = s.get("/metrics");
  EXPECT_NE(reply.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << reply.headers;
  EXPECT_EQ(m["orvane_events_buffered_total" + label],
            static_cast<double>(count_of(s.station->output(), "Events : Add Event to buffer")));
  EXPECT_GE(m["orvane_events_buffered_total" + label], 2);
  EXPECT_GE(m["orvane_uploads_total" + label], 1);
  EXPECT_EQ(m["orvane_upload_failures_total" + label], 0);
  EXPECT_GE(m["orvane_module_reads_total{station=\"" + s.name + "\",code=\"0\"}"], 1);
  EXPECT_EQ(m["orvane_upload_duration_seconds_count" + label], m["orvane_uploads_total" + label]);
  EXPECT_EQ(m["orvane_read_cycle_duration_seconds_bucket{station=\"" + s.name + "\",le=\"+Inf\"}"],
            m["orvane_read_cycle_duration_seconds_count" + label]);
  EXPECT_EQ(m["orvane_hosts_connected" + label], 0);

  // A host that stays connected after its READ_DATA.
  const int host = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(s.command_port));
  ASSERT_EQ(::connect(host, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::string read_data = "\x01h\x02READ_DATA 1 F1 S1\x04";
  ASSERT_EQ(::send(host, read_data.data(), read_data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(read_data.size()));
  const std::string commands = "orvane_host_commands_total{station=\"" + s.name + "\",command=";
  EXPECT_TRUE(wait_until([&] {
    m = parse_metrics(s.get("/metrics").body);
    return m["orvane_hosts_connected" + label] == 1 && m[commands + "\"READ_DATA\"}"] == 1;
  })) << s.get("/metrics").body;
  EXPECT_EQ(m[commands + "\"SET_VALUE\"}"], 0);
  ::close(host);
  EXPECT_EQ(s.get("/livez").status, 200);
  EXPECT_EQ(s.get("/readyz").status, 200);
}

TEST(HttpEndpoint, ControlApiShowsTheStationAndSetsAValueAsSetValueDoes) {
  HttpStation s;
  ASSERT_TRUE(s.delivered(" T01 IS 0\x03\x04")) << s.station->output();

  const auto set = s.set_value(1, R"({"value": 250})");
  ASSERT_EQ(set.status, 200) << set.body;
  const auto changed = json::parse(set.body);
  EXPECT_EQ(changed["port_id"], "T01");
  EXPECT_EQ(changed["changed"]["value"]["to"], "250");
  // The next event check sees it: level 3 reaches the host.
  ASSERT_TRUE(s.delivered(" T01 IS 250\x03\x04")) << s.station->output();

  json state;
  ASSERT_TRUE(wait_until([&] {
    state = json::parse(s.get("/api/v1/stations/" + s.name).body);
    // The view published with the action's answer shows the value before
    // the event check has seen it: wait for the delivery to be counted.
    return state["channels"][0]["value"] == "250" && state["events"]["delivered"] >= 2;
  })) << state.dump();
  EXPECT_EQ(state["channels"].size(), 1u);
  EXPECT_EQ(state["channels"][0]["port_id"], "T01");
  EXPECT_GT(state["channels"][0]["level"].get<int>(), 1);  // above both thresholds
  EXPECT_EQ(state["last_upload"]["result"], "ok");
  EXPECT_GE(state["events"]["delivered"].get<int>(), 2);
  EXPECT_TRUE(state["hosts"]["listening"]);
  EXPECT_FALSE(state["memo"].empty());

  // Refused whole, with the reason, and nothing changed.
  const auto bad = s.set_value(1, R"({"value": "lots"})");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(json::parse(bad.body)["error"].get<std::string>().find("integer"), std::string::npos);
  EXPECT_EQ(s.set_value(2, R"({"value": 5})").status, 404);  // no sensor on channel 2
  EXPECT_EQ(s.get("/api/v1/stations/elsewhere").status, 404);
  EXPECT_EQ(s.set_value(1, std::string(100 << 10, ' ')).status, 413);
  EXPECT_EQ(json::parse(s.get("/api/v1/stations/" + s.name).body)["channels"][0]["value"], "250");
}

TEST(HttpEndpoint, OffLoopbackTheApiNeedsTheTokenFromItsFile) {
  TempDir scratch;
  {
    HttpStation refused("0.0.0.0");
    EXPECT_EQ(refused.station->wait(), 2);
    EXPECT_NE(refused.station->output().find("needs --http-token-file"), std::string::npos);
  }
  write_text(scratch / "token", "tok-123\n");
  HttpStation s("0.0.0.0", {"--http-token-file", (scratch / "token").string()});
  ASSERT_TRUE(wait_until([&] { return s.get("/readyz").status == 200; })) << s.station->output();
  EXPECT_EQ(s.get("/metrics").status, 200);
  EXPECT_EQ(s.get("/api/v1/stations/" + s.name).status, 401);
  EXPECT_EQ(s.get("/api/v1/stations/" + s.name, "Authorization: Bearer tok-12\r\n").status, 401);
  EXPECT_EQ(s.get("/api/v1/stations/" + s.name, "Authorization: Bearer tok-123\r\n").status, 200);
  EXPECT_EQ(s.set_value(1, R"({"value": 7})").status, 401);
}

// HTTP clients that take every connection with requests they never finish,
// or ask for pages they never read, hold nothing of the station: its hosts
// are answered meanwhile, and the endpoint serves again once they go.
TEST(HttpEndpoint, ClientsThatNeverFinishOrNeverReadHoldNothingOfTheStation) {
  HttpStation s("");
  // Its READ_DATA reply (it has no channel records: the frame alone).
  const auto answered = [&] { return read_data(s.command_port, "F1", "S1").ends_with('\x04'); };
  ASSERT_TRUE(wait_until(answered)) << s.station->output();
  const auto connect_http = [&](int receive_buffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(s.http_port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  std::vector<int> clients;
  for (unsigned i = 0; i < orvane::limits::kHttpMaxConnections; ++i) {
    const int fd = connect_http(i % 2 ? 1024 : 0);
    // Half never finish their request; half ask for pages and never read them.
    const std::string request = i % 2 ? "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
                                        "GET /api/v1/stations HTTP/1.1\r\nHost: x\r\n\r\n"
                                      : "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    clients.push_back(fd);
  }
  for (int round = 0; round < 5; ++round) EXPECT_TRUE(answered()) << "round " << round;
  for (const int fd : clients) ::close(fd);
  EXPECT_TRUE(wait_until([&] { return s.set_value(1, R"({"value": 150})").status == 200; }));
  EXPECT_TRUE(answered());
}
