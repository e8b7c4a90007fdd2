// The endpoint's answers that depend on how the stations' threads behave:
// a station that stopped turning, one not listening, one that does not run
// an action in time. The board is fed by hand, as a station thread would.
#include "http/router.hpp"
#include "http/endpoint_address.hpp"
#include "http/page_files.hpp"
#include "http/station_board.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <vector>

using namespace orvane::http;
using namespace std::chrono_literals;

namespace {

struct Board {
  StationBoard board;
  std::vector<StationBoard::Action> posted;  // actions no station ran
  StationBoard::Slot slot = board.add("north", [this](StationBoard::Action a) { posted.push_back(std::move(a)); });
  void publish(std::chrono::steady_clock::duration age, bool listening) {
    auto view = std::make_shared<StationView>();
    view->taken = std::chrono::steady_clock::now() - age;
    view->listening = listening;
    board.publish(slot, view);
  }
};

}  // namespace

TEST(HttpHealth, LivenessFollowsTheStationThreadAndReadinessItsCommandPort) {
  Board b;
  Router router(b.board, "");
  EXPECT_EQ(router.answer({"GET", "/livez"}).status, 503);  // nothing published yet
  EXPECT_EQ(router.answer({"GET", "/readyz"}).status, 503);
  b.publish(0s, false);
  EXPECT_EQ(router.answer({"GET", "/livez"}).status, 200);
  EXPECT_EQ(router.answer({"GET", "/readyz"}).status, 503);
  b.publish(0s, true);
  EXPECT_EQ(router.answer({"GET", "/readyz"}).status, 200);
  b.publish(1min, true);  // the thread stopped publishing a minute ago
  EXPECT_EQ(router.answer({"GET", "/livez"}).status, 503);
  EXPECT_EQ(router.answer({"POST", "/livez"}).status, 405);
}

TEST(HttpControl, AStationThatDoesNotAnswerInTimeGets503AndBadInputNeverReachesIt) {
  Board b;
  b.publish(0s, true);
  Router router(b.board, "", 50ms);
  const auto set = [&](const std::string& path, const std::string& body) {
    return router.answer({"POST", path, "", body});
  };
  for (const auto* body : {"", "{", "[1]", "{\"value\":1.5}", "{\"value\":\"7x\"}", "{\"value\":1,\"x\":2}",
                           "{\"value\":18446744073709551615}"})
    EXPECT_EQ(set("/api/v1/stations/north/channels/1/value", body).status, 400) << body;
  EXPECT_EQ(set("/api/v1/stations/north/channels/33/value", "{\"value\":1}").status, 404);
  EXPECT_EQ(set("/api/v1/stations/north/channels/01x/value", "{\"value\":1}").status, 404);
  EXPECT_EQ(set("/api/v1/stations/south/channels/1/value", "{\"value\":1}").status, 404);
  EXPECT_TRUE(b.posted.empty());

  const auto late = set("/api/v1/stations/north/channels/1/value", "{\"value\":1}");
  EXPECT_EQ(late.status, 503);
  EXPECT_NE(late.body.find("did not answer"), std::string::npos);
  EXPECT_EQ(b.posted.size(), 1u);
}

TEST(HttpControl, TheTokenGuardsTheApiOnlyAndMustMatchWhole) {
  Board b;
  b.publish(0s, true);
  Router router(b.board, "s3cret");
  EXPECT_EQ(router.answer({"GET", "/api/v1/stations/north"}).status, 401);
  EXPECT_EQ(router.answer({"GET", "/api/v1/stations/north", "Bearer s3cre"}).status, 401);
  EXPECT_EQ(router.answer({"GET", "/api/v1/stations/north", "Bearer s3cret!"}).status, 401);
  EXPECT_EQ(router.answer({"GET", "/api/v1/stations/north", "Basic s3cret"}).status, 401);
  EXPECT_EQ(router.answer({"GET", "/api/v1/stations/north", "Bearer s3cret"}).status, 200);
  EXPECT_EQ(router.answer({"GET", "/metrics"}).status, 200);
  EXPECT_EQ(router.answer({"GET", "/readyz"}).status, 200);
}

// The status page comes from the table compiled in: every file with a type a
// browser accepts under nosniff, every file a page names present, nothing
// else answered, and no token asked for the page itself.
TEST(HttpPage, TheCompiledInFilesAreServedAndNoOtherPathIs) {
  Board b;
  Router router(b.board, "s3cret");
  const auto header = [](const Response& r, const std::string& field) {
    for (const auto& [f, v] : r.headers)
      if (f == field) return v;
    return std::string();
  };
  ASSERT_GE(page_files().size(), 2u);
  for (const auto& file : page_files()) {
    const auto page = router.answer({"GET", std::string(file.path)});
    EXPECT_EQ(page.status, 200) << file.path;
    EXPECT_EQ(page.body, file.body) << file.path;
    EXPECT_NE(page.content_type, "application/octet-stream") << file.path;
    EXPECT_EQ(header(page, "Cache-Control"), "no-cache") << file.path;
    if (!page.content_type.starts_with("text/html")) continue;
    EXPECT_NE(header(page, "Content-Security-Policy").find("script-src 'self'"), std::string::npos) << file.path;
    static const std::regex kReference(R"re((?:src|href)="(/[^"]*)")re");
    for (std::sregex_iterator it(page.body.begin(), page.body.end(), kReference), end; it != end; ++it)
      EXPECT_NE(find_page_file((*it)[1].str()), nullptr) << file.path << " names " << (*it)[1];
  }
  EXPECT_EQ(router.answer({"GET", "/"}).content_type, "text/html; charset=utf-8");
  EXPECT_EQ(router.answer({"GET", "/static/page.css"}).content_type, "text/css; charset=utf-8");
  EXPECT_EQ(router.answer({"GET", "/static/fleet.js"}).content_type, "text/javascript; charset=utf-8");
  for (const auto* path : {"/index.html", "/static/", "/static", "/static/../station.html", "//station.html",
                           "/static/page.css/", "/station.html/", "/../../etc/passwd", "/src/http/page/index.html"})
    EXPECT_EQ(router.answer({"GET", path}).status, 404) << path;
  EXPECT_EQ(router.answer({"POST", "/"}).status, 405);
}

TEST(HttpAddress, PortAloneMeansLoopbackAndOtherAddressesAreNamed) {
  EXPECT_EQ(parse_endpoint_address("8080").address, "127.0.0.1");
  EXPECT_EQ(parse_endpoint_address(":8080").port, 8080);
  EXPECT_TRUE(parse_endpoint_address(":8080").loopback());
  EXPECT_TRUE(parse_endpoint_address("[::1]:80").loopback());
  EXPECT_FALSE(parse_endpoint_address("0.0.0.0:80").loopback());
  EXPECT_FALSE(parse_endpoint_address("192.168.1.5:80").loopback());
  for (const auto* bad : {"", "host:80", "1.2.3.4:", "1.2.3.4:65536", ":-1", "80x"})
    EXPECT_THROW(parse_endpoint_address(bad), std::invalid_argument) << bad;
}
