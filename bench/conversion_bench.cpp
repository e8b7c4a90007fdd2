// Cost of the read cycle's station-side work: conversions, texts, and one
// whole cycle over a device line that answers at once.
#include "core/conversion.hpp"
#include "station/station.hpp"

#include "support/manual_clock.hpp"
#include "support/station_doubles.hpp"
#include "support/station_ticks.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace orvane;

void BM_RangeValue(benchmark::State& state) {
  double raw = 0;
  for (auto _ : state) {
    raw += 0.37;
    if (raw > 25) raw = -3;
    benchmark::DoNotOptimize(range_value(raw, RawRange{0, 20}, -100, 1000));
  }
}
BENCHMARK(BM_RangeValue);

void BM_FullScaleValue(benchmark::State& state) {
  double raw = 0;
  for (auto _ : state) {
    raw += 0.37;
    if (raw > 25) raw = -3;
    benchmark::DoNotOptimize(full_scale_value(raw, RawRange{0, 20}));
  }
}
BENCHMARK(BM_FullScaleValue);

// One channel as the cycle handles it: text of the reading, back to a
// double, converted, shown.
void BM_ChannelTexts(benchmark::State& state) {
  float v = 0;
  for (auto _ : state) {
    v += 0.37f;
    if (v > 25) v = -3;
    const auto text = reading_text(v);
    const double raw = parse_decimal(text).value_or(0);
    benchmark::DoNotOptimize(range_value(raw, RawRange{0, 20}, 0, 1000));
    benchmark::DoNotOptimize(general_text(raw));
  }
}
BENCHMARK(BM_ChannelTexts);

// A read cycle over N modules of eight channels each, all on panels; the
// time per module read is the station's own cost of one poll.
void BM_ReadCyclePerModule(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const auto dir = std::filesystem::temp_directory_path() / ("orvane-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream m(dir / "module.con"), c(dir / "channel.con"), s(dir / "sensor.con");
    for (int i = 1; i <= n; ++i) {
      m << i << ",4017,A," << std::hex << i << std::dec << ",Y\r\n";
      for (int k = 0; k < 8; ++k) {
        const int row = (i - 1) * 8 + k + 1;
        c << "C" << row << ",A,I," << i << "," << i << "," << k << ",Y\r\n";
        s << row << ",C" << row << ",A,I,Y,0,1000,100,500,900\r\n";
      }
    }
  }
  asio::io_context ioc;
  OperatorLog log(ioc);
  test::ManualClock clock;
  orvane::test::MemoryFlag flag{true};
  orvane::test::RecordingPower power{false};
  test::ScriptedDeviceLine line{ioc};  // every reading moves a little at each read
  line.answer = [](int, AnalogReadings& area) {
    for (auto& v : area) v += 0.125f;
    return 0;
  };
  {
    Station station(ioc, log, StationDeps{clock, flag, power, nullptr, &line}, dir);
    station.channel_table().load_channels();
    station.channel_table().load_sensor_list();
    station.channel_table().link_channels();
    for (auto _ : state) {
      StationTicks::read(station);
      ioc.restart();
      while (station.acquisition().polling() && ioc.poll_one() > 0) {}
    }
    state.SetItemsProcessed(state.iterations() * n);
  }
  ioc.restart();
  ioc.poll();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReadCyclePerModule)->Arg(1)->Arg(4)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
