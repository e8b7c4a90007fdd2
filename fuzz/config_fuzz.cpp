// Fuzz target: the station's configuration files. The input is cut at form
// feeds into emulate.ini, module.con, channel.con, sensor.con, last.con,
// auto.con and Event.Sav; the line parsers see every line, then a real
// Station starts from those files in a scratch directory (manual clock, a
// device line answering with readings from the input, no sockets) and runs
// a read cycle, an event check, a history sample and the minute's last.con
// save. Files are hand-edited and copied between machines, so nothing in
// them may crash the station.
#include "core/comma_text.hpp"
#include "core/text_file.hpp"
#include "fuzz_check.hpp"
#include "platform/clock.hpp"
#include "station/channel_model.hpp"
#include "station/operator_log.hpp"
#include "station/station.hpp"

#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include <asio/io_context.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kFiles[] = {"emulate.ini", "module.con", "channel.con", "sensor.con",
                              "last.con",    "auto.con",   "Event.Sav"};

std::vector<std::string_view> parts_of(std::string_view input) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (parts.size() < std::size(kFiles)) {
    const auto end = input.find('\f', start);
    parts.push_back(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    auto line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

struct Scratch {
  std::filesystem::path dir;
  Scratch() {
    // tmpfs when there is one: the station fsyncs what it writes.
    char tmpl[] = "/dev/shm/orvane-config-fuzz-XXXXXX";
    if (!std::filesystem::is_directory("/dev/shm")) std::strcpy(tmpl, "/tmp/orvane-config-fuzz-XXXXXX");
    if (!::mkdtemp(tmpl)) std::abort();
    dir = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // A fresh station directory for one input.
  void reset() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(e.path(), ec);
    std::filesystem::create_directory(dir / "log");
    std::filesystem::create_directory(dir / "history");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto parts = parts_of(input);

  // The line parsers on their own, on every line of every part.
  for (const auto& part : parts) {
    const auto lines = lines_of(part);
    for (const auto& l : lines) {
      (void)orvane::parse_module_line(l);
      (void)orvane::parse_channel_line(l);
    }
    orvane::SensorTable grid;
    orvane::load_sensor_lines(grid, lines);
    // What is loaded is what is saved: a saved grid loads back the same.
    const auto saved = orvane::sensor_file_text(grid);
    orvane::SensorTable again;
    orvane::load_sensor_lines(again, orvane::split_lines(saved));
    FUZZ_CHECK(orvane::sensor_file_text(again) == saved);
    // Its length as counted row by row (a long list's RCFG is bounded by it).
    std::size_t bytes = 0;
    for (int r = 1; r < grid.row_count(); ++r) bytes += orvane::sensor_line_bytes(grid.row(r));
    FUZZ_CHECK(bytes == saved.size());
  }

  // A whole station from the files.
  scratch.reset();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::ofstream out(scratch.dir / kFiles[i], std::ios::binary);
    out << parts[i];
  }
  asio::io_context ioc;
  orvane::OperatorLog log(ioc);
  log.bind_to_current_thread();
  orvane::test::ManualClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  // Readings come from the input's bytes, so odd values (negative, huge,
  // beyond the bounds) reach the conversion.
  orvane::test::ScriptedDeviceLine line{ioc};
  line.answer = [input](int address, orvane::AnalogReadings& area) {
    for (int i = 0; i < orvane::kAnalogInputs; ++i) {
      const auto k = static_cast<std::size_t>(address * 8 + i);
      const auto b = input.empty() ? 0 : static_cast<signed char>(input[k % input.size()]);
      area[static_cast<std::size_t>(i)] = static_cast<float>(b) * 0.37f;
    }
    return input.size() % 5 == 4 ? 13 : 0;  // now and then a failed read
  };
  orvane::StationDeps deps{clock, flag, power, nullptr};
  deps.device = &line;
  {
    orvane::Station station(ioc, log, deps, scratch.dir);
    station.start();
    station.guarded([&] { orvane::StationTicks::read(station); });
    ioc.restart();
    while (station.acquisition().polling() && ioc.poll_one() > 0) {}
    station.guarded([&] { orvane::StationTicks::event(station); });
    station.guarded([&] { orvane::StationTicks::history(station); });
    clock.advance(std::chrono::minutes(1));
    station.guarded(
        [&] { orvane::StationTicks::minute_change(station, clock.now() - std::chrono::minutes(1), clock.now()); });
    station.stop_data();
    station.set_clock_active(false);
  }
  return 0;
}
