// The endpoint's answers that depend on how the stations' threads behave:
// a station that stopped turning, one not listening, one that does not run
// an action in time. The board is fed by hand, as a station thread would.
#include "http/router.hpp"
#include "http/endpoint_address.hpp"
#include "http/station_board.hpp"

#include <gtest/gtest.h>

#include <functional>
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
