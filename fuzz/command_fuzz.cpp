// Fuzz target: bytes from a host through the framer, the item splitter and
// the dispatcher of a real Station (in a scratch directory, manual clock,
// power control that does nothing). The first byte picks the chunk size, so
// the same message is also tried split in odd places.
#include "core/framer.hpp"
#include "platform/clock.hpp"
#include "station/command_dispatch.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include <asio/io_context.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

struct World {
  std::filesystem::path dir;
  orvane::test::ManualClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  asio::io_context ioc;
  orvane::OperatorLog log{ioc};
  std::unique_ptr<orvane::Station> station;

  World() {
    char tmpl[] = "/tmp/orvane-fuzz-XXXXXX";
    dir = ::mkdtemp(tmpl);
    std::filesystem::create_directory(dir / "history");
    std::filesystem::create_directory(dir / "log");
    station = std::make_unique<orvane::Station>(ioc, log, orvane::StationDeps{clock, flag, power, nullptr}, dir);
    orvane::ChannelRecord ch;
    ch.port_id = "T01";
    ch.port_type = "A";
    ch.enabled = true;
    station->channel_table().channels().push_back(ch);
  }
  ~World() {
    station.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  if (size == 0) return 0;
  auto& st = *world.station;
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto conn = std::make_shared<orvane::test::FakeConnection>("127.0.0.1");
  orvane::Framer framer(4096);  // small bound, so the too-long path is reached too
  for (std::size_t p = 0; p < input.size(); p += chunk) {
    framer.feed(
        input.substr(p, chunk),
        [&](std::span<const std::string_view> lines) {
          if (!st.handle_message(lines, conn)) world.ioc.poll();  // its slices
        },
        [&] { st.log("Error : message too long"); });
  }
  // One input's state must not pile up in the next.
  st.realtime().end_of(*conn);
  if (st.realtime().running()) orvane::StationTicks::realtime(st);  // nobody left: the timer stops
  st.stop_data();
  st.set_clock_active(false);
  world.ioc.poll();
  return 0;
}
