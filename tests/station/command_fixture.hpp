// A station in a scratch directory with doubles for its collaborators, a
// recording connection, and helpers to write framed requests.
#pragma once
#include "core/command_line.hpp"
#include "core/framer.hpp"
#include "platform/clock.hpp"
#include "station/command_dispatch.hpp"
#include "station/station.hpp"
#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/test_support.hpp"

#include <asio/io_context.hpp>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace orvane::test {

// "SOH header STX line ... EOT".
inline std::string frame(const std::string& header, const std::vector<std::string>& lines) {
  std::string m = "\x01" + header;
  for (const auto& l : lines) m += "\x02" + l;
  return m + "\x04";
}

// Makes control bytes visible in failure messages.
inline std::string visible(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\x01':
        out += "<SOH>";
        break;
      case '\x02':
        out += "<STX>";
        break;
      case '\x03':
        out += "<ETX>";
        break;
      case '\x04':
        out += "<EOT>";
        break;
      case '\x05':
        out += "<ENQ>";
        break;
      case '\r':
        out += "<CR>";
        break;
      case '\n':
        out += "<LF>";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct CommandFixture {
  TempDir dir;
  ManualClock clock{make_local_time(2006, 12, 7, 12, 30)};  // ts 200612071230
  MemoryFlag flag;
  RecordingPower power;
  asio::io_context ioc;
  OperatorLog log{ioc};
  Station st{ioc, log, StationDeps{clock, flag, power, nullptr}, dir.path()};
  std::shared_ptr<FakeConnection> conn = std::make_shared<FakeConnection>();

  CommandFixture() {
    std::filesystem::create_directory(dir / "history");
    std::filesystem::create_directory(dir / "log");
  }

  // Frames the message, feeds it through a framer and dispatches it as the
  // session does (a handler failure is logged "Error : ...").
  std::string request(const std::vector<std::string>& lines, const std::string& header = "H",
                      const std::shared_ptr<FakeConnection>& c = nullptr) {
    auto& to = c ? c : conn;
    Framer framer;
    framer.feed(
        frame(header, lines),
        [&](std::span<const std::string_view> l) { st.guarded([&] { dispatch_message(st, l, to); }); }, [] {});
    return to->take();
  }

  void add_channel(const std::string& id, const std::string& type, bool enabled, const std::string& value) {
    ChannelRecord s;
    s.port_id = id;
    s.port_type = type;
    s.enabled = enabled;
    s.value = value;
    st.channels.push_back(s);
  }

  bool logged(const std::string& line) const {
    const auto& m = log.memo();
    return std::find(m.begin(), m.end(), line) != m.end();
  }
  std::size_t count_logged(const std::string& line) const {
    const auto& m = log.memo();
    return static_cast<std::size_t>(std::count(m.begin(), m.end(), line));
  }
};

}  // namespace orvane::test
