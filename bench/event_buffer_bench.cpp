// Cost of adding one event (append + fdatasync) with 0, 10 000 and 100 000
// events already waiting: it must not grow with the buffer.
#include "core/text_file.hpp"
#include "station/event_buffer.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

namespace {

const std::string kLine =
    "\x01\x02"
    "EVENTA 200612071230 F1 F1S1 TEMP01 IS 350\x03\x04";

std::filesystem::path scratch() {
  auto dir = std::filesystem::temp_directory_path() / ("orvane-bench-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  return dir;
}

void prefill(orvane::EventBuffer& buffer, const std::filesystem::path& file, std::int64_t n) {
  orvane::write_lines_atomic(file, std::vector<std::string>(static_cast<std::size_t>(n), kLine));
  buffer.load(file);
}

void BM_EventAdd(benchmark::State& state) {
  const auto dir = scratch();
  const auto file = dir / "Event.Sav";
  const auto waiting = state.range(0);
  orvane::EventBuffer buffer;
  prefill(buffer, file, waiting);
  for (auto _ : state) {
    benchmark::DoNotOptimize(buffer.add(kLine));
    if (buffer.size() > static_cast<std::size_t>(waiting) + 2000) {
      state.PauseTiming();  // keep the backlog near its nominal size
      prefill(buffer, file, waiting);
      state.ResumeTiming();
    }
  }
  state.counters["waiting"] = static_cast<double>(waiting);
  std::filesystem::remove_all(dir);
}

// The reference: the same line appended to a plain file and flushed with
// fdatasync, the floor of any add that survives a crash.
void BM_AppendFdatasync(benchmark::State& state) {
  const auto dir = scratch();
  const auto file = dir / "plain";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  std::int64_t written = 0;
  for (auto _ : state) {
    if (::write(fd, kLine.data(), kLine.size()) != static_cast<ssize_t>(kLine.size()) || ::fdatasync(fd) != 0) {
      state.SkipWithError("write failed");
      break;
    }
    if (++written % 2000 == 0) {
      state.PauseTiming();
      if (::ftruncate(fd, 0) != 0) state.SkipWithError("truncate failed");
      state.ResumeTiming();
    }
  }
  ::close(fd);
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_AppendFdatasync)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_EventAdd)->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK_MAIN();
